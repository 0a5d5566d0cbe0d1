// A virtual list: rows of one height in a scrolling viewport, of which only
// those in view are in the DOM, so a list of millions of rows costs what is
// on screen. The models (the test and file trees, the device commands, the
// Failures list) say what a row shows; the list places rows, gives them their
// ARIA role (`rowRole`), keeps the tab stop and moves it by keyboard.
//
// Keyboard: one row at a time holds the tab stop (tabindex 0, the others
// -1). ↑ ↓ Page Up, Page Down, Home and End move it, Enter and Space activate
// it; a model handles further keys in `onKey`. The row holding the tab stop
// stays in the DOM while scrolled out of view, so focus is never lost.
//
// Hooks: `render(row)` builds a row's element; every function in
// `decorators` then gets (element, row) and may add to it (badges, marks);
// `onActivate(row, event)` follows Enter, Space or a click; `onDraw(first,
// last)` tells which rows are drawn (a paged model fetches them).

const OVERSCAN = 10;  // rows drawn above and below the viewport
// Browsers cap an element's height (about 33 million px in Chromium): a
// longer list gets a box of this height whose scroll range is spread over
// all its rows.
const MAX_HEIGHT = 8_000_000;

const clamp = (value, low, high) => Math.max(low, Math.min(high, value));

export class VirtualList {
  // `viewport` scrolls and must be positioned (the offset parent of `body`);
  // `body` holds the rows.
  constructor(viewport, body, { rowHeight, render, rowRole, overscan = OVERSCAN }) {
    Object.assign(this, { viewport, body, rowHeight, render, rowRole, overscan });
    this.count = 0;
    this.active = 0;            // the row holding the tab stop
    this.drawn = new Map();     // row -> element
    this.decorators = [];
    this.onActivate = () => {};
    this.onKey = () => false;   // (event, row) -> true when handled
    this.onDraw = () => {};
    this.frame = 0;
    body.classList.add("vlist");
    viewport.addEventListener("scroll", () => this.schedule());
    new ResizeObserver(() => this.schedule()).observe(viewport);
    body.addEventListener("click", (event) => this.onClick(event));
    body.addEventListener("keydown", (event) => this.onKeyDown(event));
  }

  // A new number of rows, whose contents may all have changed.
  setCount(count) {
    this.count = count;
    this.active = clamp(this.active, 0, Math.max(0, count - 1));
    this.height = Math.min(count * this.rowHeight, MAX_HEIGHT);
    this.body.style.height = `${this.height}px`;
    this.redraw();
  }

  // The element of `row`, when drawn.
  element(row) {
    return this.drawn.get(row) || null;
  }

  get focused() {
    return this.body.contains(document.activeElement);
  }

  // --------------------------------------------------------------- geometry
  // The body's scrolled offset and the fractional row at the top of the view.
  // Scroll positions map to rows linearly: one row per rowHeight pixels, or
  // fewer pixels once the list outgrew MAX_HEIGHT.
  position() {
    const { scrollTop, clientHeight } = this.viewport;
    const range = this.height - clientHeight;
    if (!(range > 0)) return { local: 0, top: 0 };
    const local = clamp(scrollTop - this.body.offsetTop, 0, range);
    return { local, top: (local / range) * (this.count - clientHeight / this.rowHeight) };
  }

  // Scrolls so that `row` is the top row.
  scrollToRow(row) {
    const { clientHeight } = this.viewport;
    const range = this.height - clientHeight;
    if (!(range > 0)) return;
    const rows = this.count - clientHeight / this.rowHeight;
    this.viewport.scrollTop = this.body.offsetTop + (clamp(row, 0, rows) / rows) * range;
  }

  // Scrolls as little as needed to show `row` whole.
  reveal(row) {
    const inView = this.viewport.clientHeight / this.rowHeight;
    const { top } = this.position();
    if (row < top) this.scrollToRow(row);
    else if (row + 1 > top + inView) this.scrollToRow(row + 1 - inView);
    this.draw();
  }

  // ---------------------------------------------------------------- drawing
  schedule() {
    if (!this.frame) this.frame = requestAnimationFrame(() => { this.frame = 0; this.draw(); });
  }

  // Builds every drawn row again; focus stays on the row holding the tab stop.
  redraw() {
    const refocus = this.focused;
    for (const element of this.drawn.values()) element.remove();
    this.drawn.clear();
    this.draw();
    if (refocus) this.element(this.active)?.focus({ preventScroll: true });
  }

  draw() {
    const { local, top } = this.position();
    const first = Math.max(0, Math.floor(top) - this.overscan);
    const last = Math.min(this.count, Math.ceil(top + this.viewport.clientHeight / this.rowHeight) + this.overscan);
    const kept = (row) => (row >= first && row < last) || (row === this.active && row < this.count);
    for (const [row, element] of this.drawn) {
      if (kept(row)) continue;
      element.remove();
      this.drawn.delete(row);
    }
    const place = (row) => {
      let element = this.drawn.get(row);
      if (!element) {
        element = this.build(row);
        this.drawn.set(row, element);
        this.body.append(element);
      }
      element.style.top = `${local + (row - top) * this.rowHeight}px`;
    };
    for (let row = first; row < last; row++) place(row);
    if (kept(this.active)) place(this.active);
    this.onDraw(first, last);
  }

  build(row) {
    const element = this.render(row);
    element.setAttribute("role", this.rowRole);
    element.dataset.index = String(row);
    element.tabIndex = row === this.active ? 0 : -1;
    for (const decorate of this.decorators) decorate(element, row);
    return element;
  }

  // ------------------------------------------------------------ interaction
  // Gives `row` the tab stop.
  setActive(row) {
    const previous = this.element(this.active);
    if (previous) previous.tabIndex = -1;
    this.active = clamp(row, 0, Math.max(0, this.count - 1));
    this.draw();
    const element = this.element(this.active);
    if (element) element.tabIndex = 0;
  }

  // Moves the tab stop and the focus to `row`, scrolled into view.
  focusRow(row) {
    this.setActive(row);
    this.reveal(this.active);
    this.element(this.active)?.focus({ preventScroll: true });
  }

  rowOf(event) {
    const element = event.target.closest("[data-index]");
    return element && element.parentElement === this.body ? +element.dataset.index : -1;
  }

  onClick(event) {
    const row = this.rowOf(event);
    if (row < 0) return;
    this.setActive(row);
    this.onActivate(row, event);
  }

  onKeyDown(event) {
    const row = this.rowOf(event);
    if (row < 0 || event.altKey || event.ctrlKey || event.metaKey) return;
    if (this.onKey(event, row)) {
      event.preventDefault();
      return;
    }
    const page = Math.max(1, Math.floor(this.viewport.clientHeight / this.rowHeight) - 1);
    const moves = { ArrowDown: row + 1, ArrowUp: row - 1, PageDown: row + page, PageUp: row - page,
      Home: 0, End: this.count - 1 };
    if (event.key in moves) {
      event.preventDefault();
      this.focusRow(moves[event.key]);
    } else if (event.key === "Enter" || event.key === " ") {
      event.preventDefault();
      this.onActivate(row, event);
    }
  }
}
