// The runs of the suite chosen on the home page, newest first, a page at a
// time ("More" asks for the next), filtered by a text of the request id or
// the start time. Each row shows the run's result counts, its new, known and
// flaky failures, the failing sections no mark applies to yet and the share
// of them marked, and opens the run's viewer. A virtual list, an ARIA grid
// whose rows take the focus: ↑ ↓ Home End move, Enter opens.
import { el, resultClass, summaryKinds } from "./dom.js";
import { Latest } from "./latest.js";
import { service } from "./service.js";
import { percent } from "./trend.js";
import { VirtualList } from "./vlist.js";

const ROW = 34;            // px; every run has the same height
const FILTER_DELAY = 250;  // ms of quiet typing before a filter is applied

export class RunList {
  constructor(root) {
    const part = (selector) => root.querySelector(selector);
    this.title = part(".runs-title");
    this.filter = part(".run-filter");
    this.status = part(".runs-status");
    this.more = part(".runs-more");
    this.suite = null;
    this.runs = [];
    this.next = null;
    this.requests = new Latest();  // the listing shown, and its further pages
    this.list = new VirtualList(part(".runs-scroll"), part(".runs-body"), { rowHeight: ROW, rowRole: "row",
      render: (index) => this.row(this.runs[index]) });
    this.list.onActivate = (index, event) => {
      if (!event.target.closest("a")) location.assign(this.runs[index].link);
    };
    let timer = 0;
    this.filter.addEventListener("input", () => {
      clearTimeout(timer);
      timer = setTimeout(() => this.query(), FILTER_DELAY);
    });
    this.more.addEventListener("click", () => this.loadMore());
  }

  // Lists the runs of `suite`; null lists nothing.
  show(suite) {
    if (suite === this.suite) return;
    this.suite = suite;
    this.filter.value = "";
    this.filter.disabled = suite === null;
    this.title.textContent = suite === null ? "Choose a suite" : `Runs of ${suite}`;
    this.query();
  }

  async query() {
    const request = this.requests.begin();
    this.setRuns([], null);
    if (this.suite === null) {
      this.status.textContent = "";
      return;
    }
    this.status.textContent = "Loading…";
    try {
      const answer = await request.keep(service.runs(this.suite, this.filter.value.trim()));
      this.setRuns(answer.runs, answer.next);
    } catch (error) {
      this.status.textContent = `Could not list the runs: ${error.message}`;
    }
  }

  async loadMore() {
    if (!this.next) return;
    const request = this.requests.last;
    this.more.disabled = true;
    try {
      const answer = await request.keep(service.page(this.next));
      this.setRuns(this.runs.concat(answer.runs), answer.next);
    } catch (error) {
      this.status.textContent = `Could not list more runs: ${error.message}`;
    } finally {
      this.more.disabled = false;  // reached only while current: a newer listing starts afresh
    }
  }

  setRuns(runs, next) {
    this.runs = runs;
    this.next = next;
    this.more.hidden = !next;
    this.list.setCount(runs.length);
    const filtered = this.filter.value.trim() ? " matching the filter" : "";
    this.status.textContent = runs.length ? `${runs.length}${next ? "+" : ""} ${runs.length === 1 && !next ? "run" : "runs"}${filtered}` : `No runs${filtered}`;
  }


  row(run) {
    const cell = (className, ...children) => {
      const node = el("span", { className }, ...children);
      node.setAttribute("role", "gridcell");
      return node;
    };
    const counts = summaryKinds(run.summary || {}).filter(([, count]) => parseInt(count, 10) > 0)
      .map(([kind, count]) => el("span", { className: `chip ${resultClass(kind)}` }, kind, el("b", { textContent: count })));
    const failures = (kind, name = kind) => cell(`run-${name}${run[kind] ? "" : " zero"}`, String(run[kind] ?? "–"));
    const investigated = cell(`run-investigated${run.failing ? "" : " zero"}`, percent(run.investigated));
    if (run.failing) investigated.title = `${run.failing - run.to_investigate} of ${run.failing} failing sections marked`;
    return el("div", { className: "run" },
      cell("run-start", run.start_time),
      cell("run-id", el("a", { href: run.link, textContent: run.request_id, tabIndex: -1 })),
      cell("run-counts", ...counts),
      failures("new"), failures("known"), failures("flaky"), failures("to_investigate", "investigate"), investigated);
  }
}
