// The "Device commands" tab of a section: the commands found in its log, and
// the lines of the one opened. A section can hold hundreds of thousands of
// commands, so the table is a virtual list (an ARIA grid whose rows take the
// focus: ↑ ↓ Home End move, Enter opens): only the rows in view are in the
// DOM, and their pages are fetched as the list scrolls, filtered by device
// and text on the server. While the server scans the section's log for the
// first time, the tab shows that it does and for how long.
import { api } from "./api.js";
import { $, el } from "./dom.js";
import { VirtualList } from "./vlist.js";

const ROW = 28;           // px; every row has the same height
const PAGE = 200;         // commands per request
const KEPT_PAGES = 40;    // pages kept in memory; the farthest are dropped
const FILTER_DELAY = 250; // ms of quiet typing before a filter is applied
const SCAN_POLL = 300;    // ms between looks at a running scan

// First line of a title-less block, without its record prefix.
function blockSummary(logs) {
  const first = String(logs || "").split("\n")[0];
  const at = first.indexOf("]: ");
  return at >= 0 ? first.slice(at + 3) : first;
}

class DeviceTable {
  constructor() {
    this.scroller = $("#executions-scroll");
    this.body = $("#executions-body");
    this.grid = $("#executions-table");
    this.status = $("#exe-status");
    this.count = $("#exe-count");
    this.deviceBox = $("#exe-device");
    this.filterBox = $("#exe-filter");
    this.deviceList = $("#exe-devices");
    this.notice = $("#exe-message");
    this.section = null;
    this.token = 0;
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
    $("#executions-view").addEventListener("keydown", (event) => {
      if (event.key !== "Escape" || $("#execution-log").hidden) return;
      closeExecution();
      this.list.focusRow(this.list.active);
    });
    $("#exe-top").addEventListener("click", () => this.list.scrollToRow(0));
    $("#exe-end").addEventListener("click", () => this.list.scrollToRow(this.total));
  }

  open(section) {
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
    const token = ++this.token;
    this.setTotal(0);
    this.pages.clear();
    this.pending.clear();
    this.scroller.scrollTop = 0;
    this.message("Loading…");
    this.status.textContent = "";
    if (!this.filtered) this.count.textContent = "";
    const watching = this.watchScan(token);
    try {
      const page = await this.fetch(0);
      if (token !== this.token) return;
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
      if (token !== this.token) return;
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
  // scanning the section's log, and shows for how long.
  watchScan(token) {
    const id = this.section.id;
    return setInterval(async () => {
      const scan = await api.scanStatus(id).catch(() => null);
      if (token !== this.token || !scan?.scanning) return;
      const text = `scanning ${scan.elapsed.toFixed(1)} s`;
      this.count.textContent = text;
      this.count.classList.add("scanning");
      this.message(`Scanning the log for device commands… ${scan.elapsed.toFixed(1)} s`, "scanning");
    }, SCAN_POLL);
  }

  async fetch(index) {
    // A page asked for before the section or the filters changed belongs to
    // that older query: it must not land in the current one's pages.
    const token = this.token;
    this.pending.add(index);
    try {
      const page = await api.executionsPage(this.section.id, index * PAGE, PAGE,
        this.deviceBox.value.trim(), this.filterBox.value);
      // The server ends a page early when its commands' texts are large:
      // the rest of it follows the page's link.
      const rows = [...page.executions];
      for (let more = page; rows.length < PAGE && more.next && token === this.token;) {
        more = await api.page(more.next);
        rows.push(...more.executions);
      }
      if (token === this.token) {
        this.pages.set(index, rows.slice(0, PAGE));
        this.noteDevices(rows);
        this.forgetFarPages(index);
      }
      return page;
    } finally {
      if (token === this.token) this.pending.delete(index);
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
    const token = this.token;
    for (let page = Math.floor(first / PAGE); page * PAGE < last; page++) {
      if (!this.pages.has(page) && !this.pending.has(page)) this.load(page, token);
    }
  }

  async load(index, token) {
    try {
      await this.fetch(index);
      if (token === this.token) this.list.redraw();
    } catch (error) {
      if (token === this.token) this.status.textContent = `Could not load more: ${error.message}`;
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
    openExecution(this.section, exe);
  }
}

let table = null;

export function loadExecutions(section) {
  table ??= new DeviceTable();
  table.open(section);
}

async function openExecution(section, exe) {
  $("#execution-log").hidden = false;
  $("#execution-title").textContent = `${exe.device} · ${exe.execute_type}${exe.title ? " · " + exe.title : ""}`;
  const pre = $("#execution-lines");
  pre.textContent = "Loading…";
  try {
    const body = await api.executionLog(section.id, exe.execute_id);
    const note = body.truncated
      ? `\n… the first 4 MiB of the command's ${body.line_count.toLocaleString()} lines; the section's log has the rest.\n`
      : "";
    pre.textContent = body.file_content.join("") + note;
  } catch (error) {
    pre.textContent = `Could not load the command's log: ${error.message}`;
  }
}

export function closeExecution() {
  $("#execution-log").hidden = true;
}
