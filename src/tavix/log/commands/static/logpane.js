// A section's log, paged through the log endpoint in both directions as the
// pane scrolls, with level-coloured lines and a search over loaded pages.
import { api } from "./api.js";

const PAGE = 20480;
const RECORD = /^\d+: [^:]*: [^:]*(?::\d\d)*: %[^ -]+-(\d)-/;
const LEVELS = ["crit", "crit", "crit", "error", "warn", "notice", "info", "debug"];

function lineClass(line) {
  const m = RECORD.exec(line);
  if (!m) return "ln raw";
  const banner = line.includes("+++") ? " banner" : "";
  return `ln lv-${LEVELS[+m[1]] || "info"}${banner}`;
}

export class LogPane {
  constructor(root) {
    this.pane = root.querySelector("#log-pane");
    this.linesEl = root.querySelector("#log-lines");
    this.before = root.querySelector("#log-before");
    this.after = root.querySelector("#log-after");
    this.searchBox = root.querySelector("#log-search");
    this.searchCount = root.querySelector("#search-count");
    this.token = 0;
    this.pane.addEventListener("scroll", () => this.onScroll());
    this.searchBox.addEventListener("input", () => this.search(this.searchBox.value));
    this.searchBox.addEventListener("keydown", (e) => {
      if (e.key === "Enter") this.step(e.shiftKey ? -1 : 1);
    });
    root.querySelector("#search-next").addEventListener("click", () => this.step(1));
    root.querySelector("#search-prev").addEventListener("click", () => this.step(-1));
    root.querySelector("#log-top").addEventListener("click", () => this.open(this.section, 0));
    root.querySelector("#log-end").addEventListener("click", () => this.openEnd());
  }

  // Shows `section` starting with the page at `offset`.
  async open(section, offset = 0) {
    this.section = section;
    this.pages = [];          // [{text}] in log order
    this.previous = null;
    this.next = null;
    this.loading = false;
    const token = ++this.token;
    this.linesEl.textContent = "";
    this.before.textContent = "";
    this.after.textContent = "Loading…";
    try {
      const page = await api.firstPage(section.id, offset, PAGE);
      if (token !== this.token) return;
      this.pages.push(page.file_content || "");
      this.previous = page.previous;
      this.next = page.next;
      this.render();
      if (offset > 0) this.pane.scrollTop = this.pane.scrollHeight;
      else this.pane.scrollTop = 0;
      this.fill();
    } catch (error) {
      this.after.textContent = `Could not load the log: ${error.message}`;
    }
  }

  openEnd() {
    const size = parseInt(this.section.log_size, 10);
    if (size > 0) this.open(this.section, Math.floor((size - 1) / PAGE) * PAGE);
  }

  // Loads more while the pane is not yet scrollable.
  async fill() {
    while (this.pane.scrollHeight <= this.pane.clientHeight + 50) {
      const direction = this.next ? "next" : this.previous ? "previous" : null;
      if (!direction || !(await this.load(direction))) break;
    }
  }

  onScroll() {
    const { scrollTop, scrollHeight, clientHeight } = this.pane;
    if (this.next && scrollHeight - scrollTop - clientHeight < 400) this.load("next");
    else if (this.previous && scrollTop < 200) this.load("previous");
  }

  async load(direction) {
    const link = this[direction];
    if (!link || this.loading) return false;
    this.loading = true;
    const token = this.token;
    try {
      const page = await api.page(link);
      if (token !== this.token) return false;
      const height = this.pane.scrollHeight;
      if (direction === "next") {
        this.pages.push(page.file_content || "");
        this.next = page.next;
      } else {
        this.pages.unshift(page.file_content || "");
        this.previous = page.previous;
      }
      this.render();
      if (direction === "previous") this.pane.scrollTop += this.pane.scrollHeight - height;
      return true;
    } catch (error) {
      this.after.textContent = `Could not load more: ${error.message}`;
      return false;
    } finally {
      this.loading = false;
    }
  }

  render() {
    const text = this.pages.join("");
    const lines = text.split("\n");
    if (lines.length && lines[lines.length - 1] === "") lines.pop();
    const fragment = document.createDocumentFragment();
    for (const line of lines) {
      const div = document.createElement("div");
      div.className = lineClass(line);
      div.textContent = line || " ";
      fragment.appendChild(div);
    }
    this.linesEl.replaceChildren(fragment);
    this.before.textContent = this.previous ? "Scroll up for earlier lines…" : "Start of section";
    this.after.textContent = this.next ? "Scroll down for more…" : "End of section";
    this.pane.dataset.pages = String(this.pages.length);
    if (this.query) this.search(this.query, true);
  }

  search(query, keep = false) {
    this.query = query;
    for (const mark of this.linesEl.querySelectorAll("mark")) {
      mark.replaceWith(document.createTextNode(mark.textContent));
    }
    this.linesEl.normalize();
    this.matches = [];
    if (!query) {
      this.searchCount.textContent = "";
      return;
    }
    const needle = query.toLowerCase();
    for (const div of this.linesEl.children) {
      const text = div.textContent;
      const lower = text.toLowerCase();
      let at = lower.indexOf(needle);
      if (at < 0) continue;
      const fragment = document.createDocumentFragment();
      let from = 0;
      while (at >= 0) {
        fragment.append(text.slice(from, at));
        const mark = document.createElement("mark");
        mark.textContent = text.slice(at, at + needle.length);
        fragment.append(mark);
        this.matches.push(mark);
        from = at + needle.length;
        at = lower.indexOf(needle, from);
      }
      fragment.append(text.slice(from));
      div.replaceChildren(fragment);
    }
    if (!keep) this.current = -1;
    this.searchCount.textContent = `${this.matches.length} in loaded lines`;
    if (!keep && this.matches.length) this.step(1);
  }

  step(delta) {
    if (!this.matches || !this.matches.length) return;
    this.matches[this.current]?.classList.remove("current");
    this.current = (this.current + delta + this.matches.length) % this.matches.length;
    const mark = this.matches[this.current];
    mark.classList.add("current");
    mark.scrollIntoView({ block: "center" });
    this.searchCount.textContent = `${this.current + 1} / ${this.matches.length} in loaded lines`;
  }
}
