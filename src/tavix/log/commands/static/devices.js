// The "Device commands" tab of a section: the commands found in its log, and
// the lines of the one opened. A section can hold hundreds of thousands of
// commands, so the table is a virtual list: only the rows in view are in the
// DOM, and their pages are fetched as the list scrolls, filtered by device
// and text on the server. While the server scans the section's log for the
// first time, the tab shows that it does and for how long.
import { api } from "./api.js";
import { $, el } from "./dom.js";

const ROW = 28;           // px; every row has the same height
const PAGE = 200;         // commands per request
const OVERSCAN = 10;      // rows drawn above and below the viewport
const KEPT_PAGES = 40;    // pages kept in memory; the farthest are dropped
const FILTER_DELAY = 250; // ms of quiet typing before a filter is applied
const SCAN_POLL = 300;    // ms between looks at a running scan
// Browsers cap an element's height (about 33 million px in Chromium): a
// longer list gets a box of this height whose scroll range is spread over
// all its rows.
const MAX_HEIGHT = 8_000_000;

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
    this.status = $("#exe-status");
    this.count = $("#exe-count");
    this.deviceBox = $("#exe-device");
    this.filterBox = $("#exe-filter");
    this.deviceList = $("#exe-devices");
    this.section = null;
    this.token = 0;
    this.total = 0;
    this.pages = new Map();     // page index -> executions
    this.pending = new Set();   // page indexes being fetched
    this.drawn = new Map();     // row index -> element
    this.devices = new Set();
    this.selected = null;       // execute_id of the opened command
    this.frame = 0;
    this.scroller.addEventListener("scroll", () => this.schedule());
    new ResizeObserver(() => this.schedule()).observe(this.scroller);
    this.body.addEventListener("click", (event) => this.onClick(event));
    let timer = 0;
    const refilter = () => {
      clearTimeout(timer);
      timer = setTimeout(() => this.query(), FILTER_DELAY);
    };
    this.deviceBox.addEventListener("input", refilter);
    this.filterBox.addEventListener("input", refilter);
    $("#exe-top").addEventListener("click", () => { this.scroller.scrollTop = 0; });
    $("#exe-end").addEventListener("click", () => { this.scroller.scrollTop = this.scroller.scrollHeight; });
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

  // Starts over with the first page of the current filters.
  async query() {
    const token = ++this.token;
    this.total = 0;
    this.pages.clear();
    this.pending.clear();
    this.clearRows();
    this.body.style.height = "0px";
    this.scroller.scrollTop = 0;
    this.message("Loading…");
    this.status.textContent = "";
    if (!this.filtered) this.count.textContent = "";
    const watching = this.watchScan(token);
    try {
      const page = await this.fetch(0);
      if (token !== this.token) return;
      this.total = page.total;
      this.status.textContent = this.filtered ? `${page.total.toLocaleString()} matching` : "";
      if (!this.filtered) this.count.textContent = page.total.toLocaleString();
      this.count.classList.remove("scanning");
      if (!page.total) {
        this.message(this.filtered ? "No device command matches." : "No device commands in this section.");
        return;
      }
      this.message(null);
      this.height = Math.min(this.total * ROW, MAX_HEIGHT);
      this.body.style.height = `${this.height}px`;
      this.draw();
    } catch (error) {
      if (token !== this.token) return;
      this.count.classList.remove("scanning");
      if (!this.filtered) this.count.textContent = "";
      this.message(`Could not load: ${error.message}`);
    } finally {
      clearInterval(watching);
    }
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
      if (token === this.token) {
        this.pages.set(index, page.executions);
        this.noteDevices(page.executions);
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

  async load(index, token) {
    try {
      await this.fetch(index);
      if (token === this.token) this.redraw();
    } catch (error) {
      if (token === this.token) this.status.textContent = `Could not load more: ${error.message}`;
    }
  }

  message(text, cls = "") {
    this.body.querySelector(".exe-message")?.remove();
    if (text) this.body.append(el("div", { className: `exe-message ${cls}`, textContent: text }));
  }

  schedule() {
    if (!this.frame) this.frame = requestAnimationFrame(() => { this.frame = 0; this.draw(); });
  }

  clearRows() {
    for (const row of this.drawn.values()) row.remove();
    this.drawn.clear();
  }

  redraw() {
    this.clearRows();
    this.draw();
  }

  // The row at the top of the view, fractional: scroll positions map to rows
  // linearly, one row per ROW pixels unless the list outgrew MAX_HEIGHT.
  topRow() {
    const { scrollTop, clientHeight } = this.scroller;
    if (this.total * ROW <= MAX_HEIGHT) return scrollTop / ROW;
    const rows = Math.max(0, this.total - clientHeight / ROW);
    return (scrollTop / Math.max(1, this.height - clientHeight)) * rows;
  }

  draw() {
    if (!this.total) return;
    const { scrollTop, clientHeight } = this.scroller;
    const top = this.topRow();
    const first = Math.max(0, Math.floor(top) - OVERSCAN);
    const last = Math.min(this.total, Math.ceil(top + clientHeight / ROW) + OVERSCAN);
    const token = this.token;
    for (let page = Math.floor(first / PAGE); page * PAGE < last; page++) {
      if (!this.pages.has(page) && !this.pending.has(page)) this.load(page, token);
    }
    for (const [index, row] of this.drawn) {
      if (index < first || index >= last) {
        row.remove();
        this.drawn.delete(index);
      }
    }
    for (let index = first; index < last; index++) {
      const exe = this.pages.get(Math.floor(index / PAGE))?.[index % PAGE];
      let row = this.drawn.get(index);
      if (!row || row.exe !== exe) {
        row?.remove();
        row = this.row(index, exe);
        this.drawn.set(index, row);
        this.body.append(row);
      }
      row.style.top = `${scrollTop + (index - top) * ROW}px`;
    }
  }

  row(index, exe) {
    const row = exe
      ? el("div", { className: `exe-row${exe.execute_id === this.selected ? " selected" : ""}` },
        el("span", { textContent: exe.start_time || "" }),
        el("span", { textContent: exe.device, title: exe.device }),
        el("span", {}, el("span", { className: `type ${exe.execute_type}`, textContent: exe.execute_type })),
        el("span", { className: "cmd", textContent: exe.title || blockSummary(exe.logs), title: exe.title || "" }))
      : el("div", { className: "exe-row pending" }, el("span", { textContent: "…" }));
    row.exe = exe;
    row.dataset.index = index;
    return row;
  }

  onClick(event) {
    const row = event.target.closest(".exe-row");
    if (!row?.exe) return;
    this.selected = row.exe.execute_id;
    for (const other of this.body.querySelectorAll(".exe-row.selected")) other.classList.remove("selected");
    row.classList.add("selected");
    openExecution(this.section, row.exe);
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
