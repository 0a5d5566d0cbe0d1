// The run's history from the run index: a badge on each failing section
// ("new", "flaky", or "since <date> (<n> runs)"), a status on each failure
// group, the "new" and "flaky" filters beside the result chips, and the strip
// of a section's results over the earlier runs in its header, with the marks
// that apply to it (as text: they are what users wrote). Without an index the
// viewer shows none of it.
import { getJSON } from "./api.js";
import { el, resultClass } from "./dom.js";
import { Latest } from "./latest.js";
import { KINDS } from "./triage.js";

const FILTERS = ["new", "flaky"];

export class RunHistory {
  constructor() {
    this.nodes = new Map();        // section id -> node of the /history answer
    this.categories = new Map();   // signature -> category
    this.startTimes = new Map();   // request id -> start time
    this.active = null;            // the chosen filter, "new" or "flaky"
    this.onFilter = () => {};      // (Set of section ids | null)
    this.strips = new Latest();    // the strip of the section shown last
  }

  // Fetches the history (again, after a mark was written); false when the viewer has none.
  async load() {
    let answer;
    try {
      answer = await getJSON("/history");
    } catch {
      return false;
    }
    this.nodes.clear();
    this.categories.clear();
    for (const run of [answer.run, ...answer.earlier_runs]) this.startTimes.set(run.request_id, run.start_time);
    for (const node of answer.nodes) if (node.id) this.nodes.set(node.id, node);
    for (const category of answer.categories) this.categories.set(category.signature, category);
    return true;
  }

  // The path the run index knows failing section `id` by, or undefined.
  path(id) {
    return this.nodes.get(id)?.path;
  }

  date(requestId) {
    const time = this.startTimes.get(requestId) || "";
    return time.slice(0, 10) || requestId;
  }

  // The badge of a failing section of the tree, or null.
  badge(id) {
    const node = this.nodes.get(id);
    if (!node || node.status === "no_history") return null;
    const text = node.status === "known" ? `since ${this.date(node.since)} (${node.streak} runs)` : node.status;
    return el("span", { className: `history-badge h-${node.status}`, textContent: text,
      title: `${node.status}: failing in ${node.streak} run(s) in a row, since run ${node.since}` });
  }

  // The badges of a group of the Failures view: whether its cause is new,
  // and how many of its failing sections are new or flaky; or null.
  groupBadge(item) {
    const category = item.signature !== undefined && this.categories.get(item.signature);
    const badges = [];
    if (category) {
      const text = category.status === "new" ? "new cause" : `since ${this.date(category.first_seen)}`;
      badges.push(el("span", { className: `history-badge h-${category.status}`, textContent: text,
        title: `first seen in run ${category.first_seen}` }));
    }
    // A step of the group counts as its section ("<section>#<step>").
    const counts = new Map();
    for (const id of new Set((item.sections || []).map((node) => node.split("#")[0]))) {
      const status = this.nodes.get(id)?.status;
      if (FILTERS.includes(status)) counts.set(status, (counts.get(status) || 0) + 1);
    }
    for (const [status, count] of counts) {
      badges.push(el("span", { className: `history-badge h-${status}`, textContent: `${count} ${status}`,
        title: `${count} of its failing sections are ${status}` }));
    }
    return badges.length ? el("span", { className: "history-badges" }, ...badges) : null;
  }

  // The "new" and "flaky" chips; each shows only the failing sections of its status.
  chips() {
    return FILTERS.map((status) => {
      const ids = new Set([...this.nodes].filter(([, n]) => n.status === status).map(([id]) => id));
      const chip = el("button", { className: `chip history-chip h-${status}${ids.size ? "" : " zero"}`,
        title: `Show only the ${status} failures` }, status, el("b", { textContent: String(ids.size) }));
      chip.dataset.history = status;
      chip.setAttribute("aria-pressed", "false");
      chip.addEventListener("click", () => {
        this.active = this.active === status ? null : status;
        for (const other of document.querySelectorAll(".history-chip")) {
          other.classList.toggle("active", other.dataset.history === this.active);
          other.setAttribute("aria-pressed", String(other.dataset.history === this.active));
        }
        this.onFilter(this.active ? ids : null);
      });
      return chip;
    });
  }

  // Puts section `id`'s results over the window into `container`, as squares.
  async showStrip(container, id) {
    const request = this.strips.begin();
    container.querySelector(".history-strip")?.remove();
    container.querySelector(".history-marks")?.remove();
    if (!this.startTimes.size) return;
    let answer;
    try {
      answer = await request.keep(getJSON(`/history/sections/${id}`));
    } catch {
      return;
    }
    const squares = answer.runs.map((run, i) => el("span", {
      className: `history-cell ${run.result === null ? "absent" : resultClass(run.result)}`,
      title: `${i ? "" : "this run · "}${run.request_id} · ${run.start_time}: ${run.result ?? "not in this run"}` }));
    const label = answer.runs.map((run) => run.result ?? "absent").join(", ");
    container.append(el("span", { className: "history-strip", role: "img",
      ariaLabel: `History, this run first: ${label}` }, ...squares), ...this.marksOf(id));
  }

  // The marks on section `id`'s failure beside its strip, or nothing.
  marksOf(id) {
    const marks = this.nodes.get(id)?.marks || [];
    if (!marks.length) return [];
    return [el("span", { className: "history-marks" }, ...marks.map((mark) => el("span", {
      className: `history-mark t-${mark.kind}`,
      textContent: `${KINDS[mark.kind] || mark.kind}${mark.ticket ? `: ${mark.ticket}` : ""}`,
      title: `${KINDS[mark.kind] || mark.kind} on this ${mark.scope === "signature" ? "cause" : "section"}` +
        ` by ${mark.author}${mark.comment ? `: ${mark.comment}` : ""}` })))];
  }
}
