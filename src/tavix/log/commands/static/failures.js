// The Failures view: the run's failing sections and steps grouped by the
// cause their logs give, largest group first. Choosing a group filters the
// test tree to its nodes; a node opened from there opens at its cause line.
// The groups are a virtual list, an ARIA listbox: ↑ ↓ Home End move, Enter,
// Space or a click chooses a group (again: lets it go). Sections whose log
// could not be read are named in a note above the groups, each a link that
// opens it; a long list shows its first few and a button that filters the
// tree to all of them.
import { api } from "./api.js";
import { el, resultClass } from "./dom.js";
import { VirtualList } from "./vlist.js";

const ROW = 96;       // px; every card has the same height
const UNREADABLE_SHOWN = 10;  // sections named in the note; the tree shows them all

// The tree's id of a node of the answer: a step comes as "<section>#<step>".
const nodeId = (id) => id.slice(id.indexOf("#") + 1);

export class FailuresView {
  constructor(viewport) {
    this.status = el("div", { className: "failures-status muted", textContent: "Loading failures…" });
    this.status.setAttribute("role", "status");
    this.unreadable = el("div", { className: "failures-unreadable", hidden: true });
    this.unreadable.setAttribute("role", "note");
    this.list = el("div", { className: "failures-list" });
    this.list.setAttribute("role", "listbox");
    this.list.setAttribute("aria-label", "Failure causes");
    viewport.replaceChildren(this.status, this.unreadable, this.list);
    this.items = [];
    this.active = -1;
    this.causes = new Map();   // tree node id -> cause line offset, for the chosen group
    this.onFilter = () => {};  // (Set of node ids | null, label)
    this.decorate = () => null;  // group -> an element added to its head, or null
    this.onOpen = () => {};      // (section id): opens that section
    this.nameOf = (id) => id;    // section id -> what the note calls it
    this.rows = new VirtualList(viewport, this.list, { rowHeight: ROW, rowRole: "option", overscan: 4,
      render: (index) => this.card(this.items[index], index) });
    this.rows.onActivate = (index) => this.choose(index);
  }

  // Fetches the categories; returns the number of failing nodes.
  async load() {
    let answer;
    try {
      answer = await api.categories();
    } catch (error) {
      this.status.textContent = `Could not group the failures: ${error.message}`;
      return 0;
    }
    this.items = answer.categories.map((category) => ({ ...category, ids: category.sections.map(nodeId) }));
    const unexplained = answer.unexplained.length;
    if (unexplained) {
      this.items.push({ unexplained: true, count: unexplained, ids: answer.unexplained.map(nodeId),
        example: "Their logs hold no error or warning line of the run's host." });
    }
    const total = this.items.reduce((n, item) => n + item.count, 0);
    const groups = answer.categories.length;
    if (!total) this.status.textContent = "No failures";
    else if (!groups) this.status.textContent = `${unexplained} unexplained`;
    else this.status.textContent = `${total} failures, ${groups} ${groups === 1 ? "cause" : "causes"}` +
      (unexplained ? `, ${unexplained} unexplained` : "");
    this.showUnreadable(answer.unreadable || []);
    this.rows.setCount(this.items.length);
    return total;
  }

  // The note naming the sections whose log could not be read, so the groups
  // above are known to leave them out.
  showUnreadable(ids) {
    this.unreadable.hidden = !ids.length;
    if (!ids.length) return;
    const count = ids.length === 1 ? "1 section" : `${ids.length} sections`;
    const links = ids.slice(0, UNREADABLE_SHOWN).map((id) => el("li", {},
      el("a", { href: "#", textContent: this.nameOf(id), title: "Open this section",
        onclick: (e) => { e.preventDefault(); this.onOpen(id); } })));
    const all = ids.length > UNREADABLE_SHOWN ? el("button", { className: "link-button",
      textContent: `Show all ${ids.length} in the tree`,
      onclick: () => this.onFilter(new Set(ids), `${count} with unreadable logs`) }) : null;
    this.unreadable.replaceChildren(
      el("span", { textContent: `The log of ${count} could not be read, so no group holds ${ids.length === 1 ? "it" : "them"}: ` }),
      el("ul", {}, ...links), ...(all ? [all] : []));
  }

  // Chooses group `index` (again: lets it go) and filters the tree to it.
  choose(index) {
    if (index === this.active) return this.clear();
    const item = this.items[index];
    this.active = index;
    this.causes = new Map(item.ids.map((id, i) => [id, item.causes ? item.causes[i][0] : null]));
    this.redraw();
    this.onFilter(new Set(item.ids), item.unexplained ? `${item.count} unexplained` : item.signature);
  }

  clear() {
    this.active = -1;
    this.causes = new Map();
    this.redraw();
    this.onFilter(null, "");
  }

  // Offset of the cause line of tree node `id` within its log, when it
  // belongs to the chosen group and has one.
  causeAt(id) {
    return this.causes.get(id) ?? null;
  }

  redraw() {
    this.rows.redraw();
  }

  draw() {
    this.rows.draw();
  }

  card(item, index) {
    const results = Object.entries(item.results || {}).map(([result, count]) =>
      el("span", { className: `chip ${resultClass(result)}` }, result, el("b", { textContent: String(count) })));
    const card = el("div", { className: `failure${index === this.active ? " active" : ""}${item.unexplained ? " unexplained" : ""}`,
      title: item.unexplained ? "Show these in the tree" : `${item.signature}\nShow these in the tree` },
    el("div", { className: "failure-head" },
      el("span", { className: "failure-count", textContent: String(item.count) }),
      item.unexplained ? el("span", { className: "failure-title", textContent: "unexplained" }) : null,
      ...results, this.decorate(item)),
    el("div", { className: "failure-example", textContent: item.example }),
    item.unexplained ? null : el("div", { className: "failure-signature", textContent: item.signature }));
    card.setAttribute("aria-selected", String(index === this.active));
    card.setAttribute("aria-posinset", String(index + 1));
    card.setAttribute("aria-setsize", String(this.items.length));
    return card;
  }
}
