// The log pane's search, through the section search route: it pages through
// the whole section in the background, counts "k of N" (N "so far" until it
// is done), and Enter, ↓ and ↑ go to hits anywhere in the section, loading the
// page around a hit that is not loaded yet. "Next error" finds the next record
// line of severity error or worse through the server's next-record route.
import { api, getJSON } from "./api.js";
import { Latest } from "./latest.js";

const MOST_HITS = 100000;

export class LogSearch {
  constructor(pane, root) {
    this.pane = pane;
    this.box = root.querySelector("#log-search");
    this.count = root.querySelector("#search-count");
    this.errorButton = root.querySelector("#next-error");
    this.caseBox = root.querySelector("#search-case");
    this.regexBox = root.querySelector("#search-regex");
    for (const box of [this.caseBox, this.regexBox]) {
      box.addEventListener("change", () => this.start(this.box.value));
    }
    this.searches = new Latest();  // the search under way
    this.errorSearches = new Latest();  // the next error asked for
    this.hits = [];
    this.current = -1;
    let timer = null;
    this.box.addEventListener("input", () => {
      clearTimeout(timer);
      timer = setTimeout(() => {
        if (this.box.value !== this.query) this.start(this.box.value);
      }, 250);
    });
    this.box.addEventListener("keydown", (e) => {
      if (e.key === "Enter" || e.key === "ArrowDown") {
        e.preventDefault();
        clearTimeout(timer);
        if (this.box.value !== this.query) this.start(this.box.value);
        else this.go(e.shiftKey ? -1 : 1);
      } else if (e.key === "ArrowUp") {
        e.preventDefault();
        this.go(-1);
      }
    });
    root.querySelector("#search-next").addEventListener("click", () => this.go(1));
    root.querySelector("#search-prev").addEventListener("click", () => this.go(-1));
    this.errorButton.addEventListener("click", () => this.nextError());
  }

  // A new section: the search starts again there with the same text, going
  // to its first hit when `jump`.
  reset(section, jump = false) {
    this.section = section;
    this.errorSearches.drop();
    this.errorButton.disabled = false;
    const query = this.box.value;
    this.query = null;
    if (query) this.start(query, jump);
    else this.show("");
  }

  // Searches for `query` from the start; goes to the first hit when `jump`.
  async start(query, jump = true) {
    const request = this.searches.begin();
    this.query = query;
    this.hits = [];
    this.current = -1;
    this.done = false;
    this.waiting = jump ? 1 : 0;
    if (!query || !this.section) {
      this.done = true;
      return this.show("");
    }
    this.show("searching…");
    let link = null;
    try {
      const params = { q: query, limit: 1000 };
      if (this.caseBox.checked) params.case = 1;
      if (this.regexBox.checked) params.regex = 1;
      let answer = await request.keep(api.search(this.section.id, params));
      for (;;) {
        this.hits.push(...answer.hits);
        link = answer.next;
        if (this.waiting && this.hits.length >= this.current + this.waiting + 1) this.go(0);
        this.done = !link || this.hits.length >= MOST_HITS;
        this.showCount();
        if (this.done) break;
        answer = await request.keep(getJSON(link));
      }
      if (this.waiting) this.go(0);
    } catch (error) {
      this.show(error.message === "INVALID_QUERY" ? "not a valid search" : error.message);
    }
  }

  // Moves `delta` hits on (0: to the hit asked for while it was not there yet).
  go(delta) {
    if (delta !== 0) this.waiting = 0;
    const wanted = this.current + (delta === 0 ? this.pendingDelta || 1 : delta);
    if (wanted >= this.hits.length && !this.done) {
      this.pendingDelta = wanted - this.current;
      this.waiting = 1;
      return this.showCount();
    }
    this.waiting = 0;
    this.pendingDelta = 0;
    if (!this.hits.length) return this.showCount();
    this.current = (wanted + this.hits.length) % this.hits.length;
    const hit = this.hits[this.current];
    this.showCount();
    if (this.pane.lineAt(hit.offset)) this.pane.markLine(hit.offset, hit);
    else this.pane.openAt(this.section, hit.offset, hit.line, hit);
  }

  showCount() {
    if (!this.query) return this.show("");
    const capped = this.done && this.hits.length >= MOST_HITS;
    const total = `${this.hits.length}${capped ? "+" : this.done ? "" : " so far"}`;
    if (!this.hits.length) return this.show(this.done ? "no match" : "searching…");
    this.show(this.current >= 0 ? `${this.current + 1} of ${total}` : `${total} hits`);
  }

  show(text) {
    this.count.textContent = text;
  }

  // The next record line of severity error or worse after the highlighted
  // line (or the top of the loaded pages).
  async nextError() {
    const section = this.section;
    if (!section) return;
    const request = this.errorSearches.begin();  // dropped when another section opens
    const here = this.pane.highlight ? this.pane.highlight.offset + 1 : this.pane.firstOffset;
    this.errorButton.disabled = true;
    try {
      let answer = await request.keep(api.nextError(section.id, here));
      while (!answer.line && answer.next) answer = await request.keep(getJSON(answer.next));
      const hit = answer.line;
      if (!hit) return this.show("no error after this line");
      if (this.pane.lineAt(hit.offset)) this.pane.markLine(hit.offset, null);
      else await this.pane.openAt(section, hit.offset, null, null);
    } finally {
      this.errorButton.disabled = false;
    }
  }
}
