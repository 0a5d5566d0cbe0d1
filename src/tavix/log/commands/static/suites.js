// The suites of the home page: each with its latest run, that run's pass
// rate and the trend of its last runs. A virtual list, an ARIA grid whose
// rows take the focus (the chosen one aria-selected): ↑ ↓ Home End move,
// Enter, Space or a click chooses a suite (a click on its latest run opens
// that run).
import { el } from "./dom.js";
import { percent, trendChart } from "./trend.js";
import { VirtualList } from "./vlist.js";

const ROW = 64;  // px; every suite has the same height

export class SuiteList {
  // `root` holds the scrolling `.suite-scroll` and in it the grid's rows.
  constructor(root) {
    this.suites = [];
    this.chosen = null;
    this.onChoose = () => {};  // (suite name)
    this.list = new VirtualList(root.querySelector(".suite-scroll"), root.querySelector(".suite-list"), { rowHeight: ROW, rowRole: "row",
      render: (index) => this.row(this.suites[index]) });
    this.list.onActivate = (index, event) => {
      if (!event.target.closest("a")) this.onChoose(this.suites[index].suite_name);
    };
  }

  load(suites) {
    this.suites = suites;
    this.list.setCount(suites.length);
  }

  // Marks the suite `name` chosen (none when null) and gives it the tab stop.
  choose(name) {
    this.chosen = name;
    const index = this.suites.findIndex((suite) => suite.suite_name === name);
    if (index >= 0) this.list.setActive(index);
    this.list.redraw();
    if (index >= 0) this.list.reveal(index);
  }


  row(suite) {
    const { latest, trend } = suite;
    const last = trend[trend.length - 1];
    const run = el("a", { href: latest.link, textContent: latest.start_time, title: `Open run ${latest.request_id}`,
      tabIndex: -1 });
    const cell = (className, ...children) => {
      const node = el("div", { className }, ...children);
      node.setAttribute("role", "gridcell");
      return node;
    };
    const element = el("div", { className: "suite" },
      cell("suite-text",
        el("div", { className: "suite-name" }, el("b", { textContent: suite.suite_name }),
          el("span", { className: "suite-runs", textContent: `${suite.runs} ${suite.runs === 1 ? "run" : "runs"}` })),
        el("div", { className: "suite-latest" }, "Latest ", run)),
      cell("suite-rate", el("span", { className: "sr-only", textContent: "pass rate " }), percent(last?.pass_rate)),
      cell("suite-trend", trendChart(trend)));
    const chosen = suite.suite_name === this.chosen;
    element.classList.toggle("chosen", chosen);
    element.setAttribute("aria-selected", String(chosen));
    return element;
  }
}
