// The Changes tab: what changed from the baseline run to this one. The
// sections newly failing, fixed and still failing (and those only one run
// has), with counts; a click or Enter opens the section. The groups and their
// sections are one virtual list, an ARIA listbox whose rows take the focus
// (↑ ↓ Page Up, Page Down, Home End move; a group's head is a disabled option).
import { api } from "./api.js";
import { el, resultClass } from "./dom.js";
import { VirtualList } from "./vlist.js";

const ROW = 30;  // px; every row has the same height
const GROUPS = [
  ["newly_failing", "Newly failing", "r-fail"],
  ["fixed", "Fixed", "r-pass"],
  ["still_failing", "Still failing", "r-block"],
  ["only_in_new", "Only in this run", "r-other"],
  ["only_in_base", "Only in the baseline", "r-other"],
];

export class ChangesView {
  constructor(viewport) {
    this.status = el("div", { className: "changes-status muted", textContent: "Comparing with the baseline…" });
    this.list = el("div", { className: "changes-list" });
    this.list.setAttribute("role", "listbox");
    this.list.setAttribute("aria-label", "Changes from the baseline run");
    viewport.replaceChildren(this.status, this.list);
    this.items = [];
    this.chosen = -1;         // the row of the section opened last
    this.onOpen = () => {};   // (section id)
    this.rows = new VirtualList(viewport, this.list, { rowHeight: ROW, rowRole: "option", overscan: 6,
      render: (index) => this.row(this.items[index], index) });
    this.rows.onActivate = (index) => this.open(index);
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
    this.items = [];
    for (const [key, title, cls] of GROUPS) {
      const entries = answer[key] || [];
      this.items.push({ title, cls, count: entries.length });
      for (const entry of entries) this.items.push({ entry, key });
    }
    this.rows.setCount(this.items.length);
    return answer;
  }

  open(index) {
    const row = this.items[index];
    if (!row?.entry) return;
    this.chosen = index;
    this.rows.redraw();
    if (row.entry.id) this.onOpen(row.entry.id);
  }

  draw() {
    this.rows.draw();
  }

  row(row, index) {
    const element = row.entry ? this.entry(row.entry, index) : el("div", { className: `change-group ${row.cls}` },
      el("span", { textContent: row.title }), el("b", { className: "count", textContent: String(row.count) }));
    if (!row.entry) element.setAttribute("aria-disabled", "true");
    element.setAttribute("aria-selected", String(index === this.chosen));
    element.setAttribute("aria-posinset", String(index + 1));
    element.setAttribute("aria-setsize", String(this.items.length));
    return element;
  }

  entry(entry, index) {
    const element = el("div", { className: `change${index === this.chosen ? " active" : ""}${entry.id ? "" : " absent"}`,
      title: entry.path.join(" / ") });
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
