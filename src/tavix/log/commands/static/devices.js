// The "Device commands" tab of a section: the commands found in its log, and
// the lines of the one opened. A section can hold hundreds of thousands of
// commands, so the table is a virtual list (an ARIA grid whose rows take the
// focus: ↑ ↓ Home End move, Enter opens): only the rows in view are in the
// DOM, and their pages are fetched as the list scrolls, filtered by device
// and text on the server. While the server scans the section's log for the
// first time, the tab shows that it does and for how long. The view is given
// its root (the tab's panel) and the count on the tab's label.
import { api } from "./api.js";
import { el } from "./dom.js";
import { Latest } from "./latest.js";
import { VirtualList } from "./vlist.js";

const ROW = 28;           // px; every row has the same height
const PAGE = 200;         // commands per request
const KEPT_PAGES = 40;    // pages kept in memory; the farthest are dropped
const FILTER_DELAY = 250; // ms of quiet typing before a filter is applied
const SCAN_POLL = 300;    // ms between looks at a running scan

// What the Command cell shows of a title-less block: the line after the
// banner line the block starts with, the first the device wrote (the
// banner's own message repeats the device and the type). The answer gives
// no header spans, so the banner's header is not cut off here: a block of
// its banner alone shows that line whole.
function blockSummary(logs) {
  const text = String(logs || "");
  const start = text.indexOf("\n") + 1;
  if (!start || start === text.length) return text.trimEnd();
  const end = text.indexOf("\n", start);
  return text.slice(start, end < 0 ? text.length : end);
}

export class DeviceCommands {
  // `root` holds the toolbar, the table and the opened command's log; `count`
  // shows the number of commands (or that the log is being scanned).
  constructor(root, count) {
    const part = (id) => root.querySelector(`#${id}`);
    this.scroller = part("executions-scroll");
    this.body = part("executions-body");
    this.grid = part("executions-table");
    this.status = part("exe-status");
    this.deviceBox = part("exe-device");
    this.filterBox = part("exe-filter");
    this.deviceList = part("exe-devices");
    this.notice = part("exe-message");
    this.logBox = part("execution-log");
    this.logTitle = part("execution-title");
    this.lines = part("execution-lines");
    this.count = count;
    this.section = null;
    this.requests = new Latest();   // a query of the table: the section or the filters changed
    this.opening = new Latest();    // the log of an opened command
    this.total = 0;
    this.pages = new Map();     // page index -> executions
    this.pending = new Set();   // page indexes being fetched
    this.devices = new Set();
    this.selected = null;       // execute_id of the opened command
    this.list = new VirtualList(this.scroller, this.body, { rowHeight: ROW, rowRole: "row",
      render: (index) => this.row(index, this.execution(index)) });
    this.list.onDraw = (first, last) => this.fetchRows(first, last);
    this.list.onActivate = (index) => this.openRow(index);
    let timer = 0;
    const refilter = () => {
      clearTimeout(timer);
      timer = setTimeout(() => this.query(), FILTER_DELAY);
    };
    this.deviceBox.addEventListener("input", refilter);
    this.filterBox.addEventListener("input", refilter);
    // Escape closes the opened command's log and goes back to its row.
    root.addEventListener("keydown", (event) => {
      if (event.key !== "Escape" || this.logBox.hidden) return;
      this.closeCommand();
      this.list.focusRow(this.list.active);
    });
    part("execution-close").addEventListener("click", () => this.closeCommand());
    part("exe-top").addEventListener("click", () => this.list.scrollToRow(0));
    part("exe-end").addEventListener("click", () => this.list.scrollToRow(this.total));
  }

  open(section) {
    this.closeCommand();
    this.section = section;
    this.selected = null;
    this.devices.clear();
    this.deviceList.replaceChildren();
    this.deviceBox.value = "";
    this.filterBox.value = "";
    this.query();
  }

  get filtered() { return Boolean(this.deviceBox.value.trim() || this.filterBox.value); }

  execution(index) {
    return this.pages.get(Math.floor(index / PAGE))?.[index % PAGE];
  }

  // Starts over with the first page of the current filters.
  async query() {
    const request = this.requests.begin();
    this.setTotal(0);
    this.pages.clear();
    this.pending.clear();
    this.scroller.scrollTop = 0;
    this.message("Loading…");
    this.status.textContent = "";
    if (!this.filtered) this.count.textContent = "";
    const watching = this.watchScan(request);
    try {
      const page = await request.keep(this.fetch(0, request));
      this.status.textContent = this.filtered ? `${page.total.toLocaleString()} matching` : "";
      if (!this.filtered) this.count.textContent = page.total.toLocaleString();
      this.count.classList.remove("scanning");
      if (!page.total) {
        this.message(this.filtered ? "No device command matches." : "No device commands in this section.");
        return;
      }
      this.message(null);
      this.setTotal(page.total);
    } catch (error) {
      this.count.classList.remove("scanning");
      if (!this.filtered) this.count.textContent = "";
      this.message(`Could not load: ${error.message}`);
    } finally {
      clearInterval(watching);
    }
  }

  setTotal(total) {
    this.total = total;
    this.grid.setAttribute("aria-rowcount", String(total + 1));  // the header is row 1
    this.list.setCount(total);
  }

  // Until the first page comes, looks now and then whether the server is
  // scanning the section's log, and shows for how long; a newer query stops it.
  watchScan(request) {
    const id = this.section.id;
    const watching = setInterval(async () => {
      if (!request.current()) return clearInterval(watching);
      const scan = await request.keep(api.scanStatus(id).catch(() => null));
      if (!scan?.scanning) return;
      const text = `scanning ${scan.elapsed.toFixed(1)} s`;
      this.count.textContent = text;
      this.count.classList.add("scanning");
      this.message(`Scanning the log for device commands… ${scan.elapsed.toFixed(1)} s`, "scanning");
    }, SCAN_POLL);
    return watching;
  }

  // Page `index` of `request`'s query: a page asked for before the section
  // or the filters changed must not land in the current query's pages.
  async fetch(index, request) {
    this.pending.add(index);
    try {
      const page = await request.keep(api.executionsPage(this.section.id, index * PAGE, PAGE,
        this.deviceBox.value.trim(), this.filterBox.value));
      // The server ends a page early when its commands' texts are large:
      // the rest of it follows the page's link.
      const rows = [...page.executions];
      for (let more = page; rows.length < PAGE && more.next;) {
        more = await request.keep(api.page(more.next));
        rows.push(...more.executions);
      }
      this.pages.set(index, rows.slice(0, PAGE));
      this.noteDevices(rows);
      this.forgetFarPages(index);
      return page;
    } finally {
      this.pending.delete(index);  // reached only while current: a stale fetch stops at its await
    }
  }

  // Pages far from the one just fetched go; scrolling back fetches them again.
  forgetFarPages(index) {
    if (this.pages.size <= KEPT_PAGES) return;
    const far = [...this.pages.keys()].sort((a, b) => Math.abs(b - index) - Math.abs(a - index));
    for (const page of far.slice(0, this.pages.size - KEPT_PAGES)) this.pages.delete(page);
  }

  noteDevices(executions) {
    for (const exe of executions) {
      if (this.devices.has(exe.device)) continue;
      this.devices.add(exe.device);
      this.deviceList.append(el("option", { value: exe.device }));
    }
  }

  // Fetches the pages of the drawn rows that are not here yet.
  fetchRows(first, last) {
    if (!this.total) return;
    for (let page = Math.floor(first / PAGE); page * PAGE < last; page++) {
      if (!this.pages.has(page) && !this.pending.has(page)) this.load(page, this.requests.last);
    }
  }

  async load(index, request) {
    try {
      await this.fetch(index, request);
      this.list.redraw();
    } catch (error) {
      this.status.textContent = `Could not load more: ${error.message}`;
    }
  }

  message(text, cls = "") {
    this.notice.hidden = !text;
    this.notice.textContent = text || "";
    this.notice.className = `exe-message ${cls}`;
  }

  row(index, exe) {
    const cell = (props, ...children) => el("span", { role: "gridcell", ...props }, ...children);
    const row = exe
      ? el("div", { className: `exe-row${exe.execute_id === this.selected ? " selected" : ""}` },
        cell({ textContent: exe.start_time || "" }),
        cell({ textContent: exe.device, title: exe.device }),
        cell({}, el("span", { className: `type ${exe.execute_type}`, textContent: exe.execute_type })),
        cell({ className: "cmd", textContent: exe.title || blockSummary(exe.logs), title: exe.title || "" }))
      : el("div", { className: "exe-row pending" }, cell({ textContent: "…" }));
    row.setAttribute("aria-rowindex", String(index + 2));
    if (exe) row.setAttribute("aria-selected", String(exe.execute_id === this.selected));
    return row;
  }

  openRow(index) {
    const exe = this.execution(index);
    if (!exe) return;
    this.selected = exe.execute_id;
    for (const other of this.body.querySelectorAll(".exe-row.selected")) {
      other.classList.remove("selected");
      other.setAttribute("aria-selected", "false");
    }
    const row = this.list.element(index);
    row?.classList.add("selected");
    row?.setAttribute("aria-selected", "true");
    this.showCommand(exe);
  }

  // Shows the lines of command `exe`; an answer for a command opened before
  // it is dropped.
  async showCommand(exe) {
    const request = this.opening.begin();
    this.logBox.hidden = false;
    this.logTitle.textContent = `${exe.device} · ${exe.execute_type}${exe.title ? " · " + exe.title : ""}`;
    this.lines.textContent = "Loading…";
    try {
      const body = await request.keep(api.executionLog(this.section.id, exe.execute_id));
      const note = body.truncated
        ? `\n… the first 4 MiB of the command's ${body.line_count.toLocaleString()} lines; the section's log has the rest.\n`
        : "";
      this.lines.textContent = body.file_content.join("") + note;
    } catch (error) {
      this.lines.textContent = `Could not load the command's log: ${error.message}`;
    }
  }

  closeCommand() {
    this.opening.drop();
    this.logBox.hidden = true;
  }
}
