// The Changes tab: what changed from the baseline run to this one. The
// sections newly failing, fixed and still failing (and those only one run
// has), with counts; a click or Enter opens the section. Rows are drawn only
// while in view; the arrow keys move through them.
import { api } from "./api.js";
import { el, resultClass } from "./dom.js";

const ROW = 30;
const OVERSCAN = 6;
const GROUPS = [
  ["newly_failing", "Newly failing", "r-fail"],
  ["fixed", "Fixed", "r-pass"],
  ["still_failing", "Still failing", "r-block"],
  ["only_in_new", "Only in this run", "r-other"],
  ["only_in_base", "Only in the baseline", "r-other"],
];

export class ChangesView {
  constructor(viewport) {
    this.viewport = viewport;
    this.status = el("div", { className: "changes-status muted", textContent: "Comparing with the baseline…" });
    this.list = el("div", { className: "changes-list", tabIndex: 0 });
    this.list.setAttribute("role", "listbox");
    this.list.setAttribute("aria-label", "Changes from the baseline run");
    viewport.replaceChildren(this.status, this.list);
    this.rows = [];
    this.active = -1;
    this.drawn = new Map();
    this.onOpen = () => {};   // (section id)
    viewport.addEventListener("scroll", () => this.draw());
    new ResizeObserver(() => this.draw()).observe(viewport);
    this.list.addEventListener("click", (event) => {
      const row = event.target.closest(".change");
      if (row) this.open(+row.dataset.index);
    });
    this.list.addEventListener("keydown", (event) => this.onKey(event));
  }

  // Fetches the comparison; returns it, or null when there is no baseline.
  async load() {
    let answer;
    try {
      answer = await api.compare();
    } catch (error) {
      if (error.message === "NO_BASELINE") return null;
      this.status.textContent = `Could not compare with the baseline: ${error.message}`;
      return {};
    }
    const base = answer.base || {};
    const suites = answer.same_suite ? "" : ` (another suite: ${base.suite_name})`;
    this.status.textContent = `Against job ${base.request_id || "?"}, started ${base.start_time || "?"}${suites}`;
    this.rows = [];
    for (const [key, title, cls] of GROUPS) {
      const entries = answer[key] || [];
      this.rows.push({ title, cls, count: entries.length });
      for (const entry of entries) this.rows.push({ entry, key });
    }
    this.list.style.height = `${this.rows.length * ROW}px`;
    this.draw();
    return answer;
  }

  onKey(event) {
    const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: 10, PageUp: -10, Home: -Infinity, End: Infinity };
    if (event.key === "Enter" || event.key === " ") {
      event.preventDefault();
      if (this.active >= 0) this.open(this.active);
      return;
    }
    if (!(event.key in moves)) return;
    event.preventDefault();
    const entries = this.rows.map((row, index) => (row.entry ? index : -1)).filter((index) => index >= 0);
    if (!entries.length) return;
    let at = entries.indexOf(this.active);
    at = at < 0 ? 0 : Math.min(Math.max(at + moves[event.key], 0), entries.length - 1);
    this.active = entries[at];
    const top = this.active * ROW;
    if (top < this.viewport.scrollTop) this.viewport.scrollTop = top - ROW;
    else if (top + ROW > this.viewport.scrollTop + this.viewport.clientHeight) this.viewport.scrollTop = top + 2 * ROW - this.viewport.clientHeight;
    this.redraw();
  }

  open(index) {
    const row = this.rows[index];
    if (!row?.entry) return;
    this.active = index;
    this.redraw();
    if (row.entry.id) this.onOpen(row.entry.id);
  }

  redraw() {
    for (const element of this.drawn.values()) element.remove();
    this.drawn.clear();
    this.draw();
    this.list.setAttribute("aria-activedescendant", this.active >= 0 ? `change-${this.active}` : "");
  }

  draw() {
    if (this.viewport.hidden || !this.rows.length) return;
    const offset = this.list.offsetTop;
    const first = Math.max(0, Math.floor((this.viewport.scrollTop - offset) / ROW) - OVERSCAN);
    const last = Math.min(this.rows.length, Math.ceil((this.viewport.scrollTop - offset + this.viewport.clientHeight) / ROW) + OVERSCAN);
    for (const [index, element] of this.drawn) {
      if (index < first || index >= last) {
        element.remove();
        this.drawn.delete(index);
      }
    }
    for (let index = first; index < last; index += 1) {
      if (this.drawn.has(index)) continue;
      const element = this.row(this.rows[index], index);
      element.style.top = `${index * ROW}px`;
      this.list.append(element);
      this.drawn.set(index, element);
    }
  }

  row(row, index) {
    if (!row.entry) {
      return el("div", { className: `change-group ${row.cls}` }, el("span", { textContent: row.title }),
        el("b", { className: "count", textContent: String(row.count) }));
    }
    const { entry } = row;
    const element = el("div", { className: `change${index === this.active ? " active" : ""}${entry.id ? "" : " absent"}`,
      id: `change-${index}`, title: entry.path.join(" / ") });
    element.setAttribute("role", "option");
    element.setAttribute("aria-selected", String(index === this.active));
    const result = (value) => el("span", { className: `result ${resultClass(value)}`, textContent: value || "—" });
    element.append(el("span", { className: "path", textContent: entry.path.slice(1).join(" / ") || entry.path[0] }),
      result(entry.base_result), el("span", { className: "muted", textContent: "→" }), result(entry.result));
    return element;
  }
}

// Badges of the comparison on the test tree's rows.
export function markTree(tree, answer) {
  const marks = new Map();
  const mark = (key, text, className, title) => {
    for (const entry of answer[key] || []) if (entry.id) marks.set(entry.id, { text, className, title });
  };
  mark("only_in_new", "new", "mark-new", "Not in the baseline run");
  mark("still_failing", "still", "mark-still", "Failing in the baseline run too");
  mark("fixed", "fixed", "mark-fixed", "Failing in the baseline run, not in this one");
  mark("newly_failing", "newly", "mark-newly", "Not failing in the baseline run");
  tree.decorate((element, node) => {
    const found = node && marks.get(node.id);
    if (found) element.append(el("span", { className: `change-mark ${found.className}`, textContent: found.text, title: found.title }));
  });
  tree.redraw();
}
