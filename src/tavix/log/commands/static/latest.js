// Of a view's requests of one kind only the newest counts: an answer, or a
// failure, that comes after a newer request began is dropped, so a slow
// answer never overwrites what was asked for after it.
//
//   const request = this.requests.begin();
//   const page = await request.keep(api.section(id));  // goes no further once stale
//   if (!request.current()) ...                        // between awaits

// What a dropped answer turns into: the code awaiting it stops there.
const NEVER = new Promise(() => {});

export class Latest {
  #serial = 0;

  // Begins a request; the ones begun before it are stale from now on.
  begin() {
    return this.#request(++this.#serial);
  }

  // The request begun last: a follow-up (one more page of what it shows)
  // joins it rather than making it stale.
  get last() {
    return this.#request(this.#serial);
  }

  // Makes every request begun so far stale: what they would show is gone.
  drop() {
    this.#serial += 1;
  }

  #request(serial) {
    const current = () => serial === this.#serial;
    const keep = (promise) => Promise.resolve(promise).then(
      (value) => (current() ? value : NEVER),
      (error) => {
        if (current()) throw error;
        return NEVER;
      });
    return { current, keep };
  }
}
