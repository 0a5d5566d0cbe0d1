// A section's log, paged through the log endpoint in both directions as the
// pane scrolls, with level-coloured, numbered lines that link to themselves.
import { api } from "./api.js";
import { el } from "./dom.js";
import { Latest } from "./latest.js";
import { fillLine, headerLength } from "./logline.js";

const PAGE = 20480;
const LEVELS = ["crit", "crit", "crit", "error", "warn", "notice", "info", "debug"];

// Record lines are told by the server, which sends each page's severities and header spans.
function lineClass(line, severity) {
  if (severity === undefined) return "ln raw";
  const banner = line.includes("+++") ? " banner" : "";
  return `ln lv-${LEVELS[severity] || "info"}${banner}`;
}

const encoder = new TextEncoder();
const utf8Length = (text) => encoder.encode(text).length;

// The index of the line that starts at byte `offset`: the section search for
// the empty line start, one hit from there, counts the lines natively.
async function lineAt(sectionId, offset) {
  const answer = await api.search(sectionId, { q: "^", regex: 1, offset, limit: 1 });
  return answer.hits.length && answer.hits[0].offset === offset ? answer.hits[0].line : null;
}

export class LogPane {
  // The pane of the section view by default; another log (the baseline's
  // section beside a diff) gives its own elements, its first-page request and
  // no `findLine`, when its line numbers cannot be looked up.
  constructor(root, { parts = null, firstPage = api.firstPage, findLine = lineAt } = {}) {
    const [pane, lines, before, after, top, end] = parts ||
      ["#log-pane", "#log-lines", "#log-before", "#log-after", "#log-top", "#log-end"].map((id) => root.querySelector(id));
    Object.assign(this, { pane, linesEl: lines, before, after, firstPage, findLine });
    this.lineTools = null;  // offset -> what the marked line shows beside it, if anything
    this.requests = new Latest();  // the section shown, and its pages
    this.pane.addEventListener("scroll", () => this.onScroll());
    top?.addEventListener("click", () => this.open(this.section, 0));
    end?.addEventListener("click", () => this.openEnd());
  }

  // Shows `section` starting with the page at `offset`.
  open(section, offset = 0, firstLine = offset === 0 ? 0 : null) {
    return this.show(this.requests.begin(), section, offset, firstLine);
  }

  async show(request, section, offset, firstLine) {
    this.section = section;
    this.pages = [];          // [{text}] in log order
    this.previous = null;
    this.next = null;
    this.loading = false;
    this.firstOffset = offset;   // byte offset of the first loaded page
    this.firstLine = firstLine;  // index of the line starting there, when known
    this.highlight = null;
    this.severities = new Map();  // byte offset of a record line -> its severity
    this.headers = new Map();     // byte offset of a record line -> its header span
    this.linesEl.textContent = "";
    this.before.textContent = "";
    this.after.textContent = "Loading…";
    try {
      const page = await request.keep(this.firstPage(section.id, offset, PAGE));
      this.keepSeverities(page);
      this.pages.push(page.file_content || "");
      this.previous = page.previous;
      this.next = page.next;
      this.render();
      if (offset > 0) this.pane.scrollTop = this.pane.scrollHeight;
      else this.pane.scrollTop = 0;
      await this.fill();
    } catch (error) {
      this.after.textContent = `Could not load the log: ${error.message}`;
    }
  }

  // Shows `section` with the line that starts at byte `offset` scrolled into
  // view and highlighted (and, given `match` {column, length}, its match
  // marked). `line` is that line's index; it is asked for when not given
  // (and left unknown where it cannot be).
  async openAt(section, offset, line = null, match = null) {
    const request = this.requests.begin();
    if (line === null && this.findLine) line = await request.keep(this.findLine(section.id, offset));
    // A page starting at the line itself; near the start the first page,
    // since pages before an offset below one page cannot be reached.
    const start = offset < PAGE ? 0 : offset;
    await this.show(request, section, start, start === 0 ? 0 : line);
    // The page before it too, so the line shows amid what led to it.
    if (this.previous) await this.load("previous");
    if (request.current()) this.markLine(offset, match);
  }

  // The rendered line that starts at byte `offset`, if loaded.
  lineAt(offset) {
    return this.linesEl.querySelector(`[data-offset="${offset}"]`);
  }

  // The message of the loaded line that starts at byte `offset`: its text
  // without the header of a record line.
  messageAt(offset) {
    const text = this.lineAt(offset)?.querySelector(".tx")?.dataset.text || "";
    return text.slice(headerLength(this.headers.get(offset)));
  }

  markLine(offset, match = null) {
    this.highlight = { offset, match };
    this.drawHighlight(true);
  }

  drawHighlight(scroll) {
    this.linesEl.querySelector(".ln.hit")?.classList.remove("hit");
    this.linesEl.querySelector(".line-tools")?.remove();
    if (!this.highlight) return;
    const div = this.lineAt(this.highlight.offset);
    if (!div) return;
    div.classList.add("hit");
    if (this.lineTools) div.append(el("span", { className: "line-tools" }, this.lineTools(this.highlight.offset)));
    const { match } = this.highlight;
    const text = div.querySelector(".tx");
    if (match && text && match.length > 0) {
      const value = text.textContent;
      const mark = document.createElement("mark");
      mark.className = "current";
      mark.textContent = value.slice(match.column, match.column + match.length);
      text.replaceChildren(value.slice(0, match.column), mark, value.slice(match.column + match.length));
    }
    if (scroll) div.scrollIntoView({ block: "center" });
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
    const request = this.requests.last;
    try {
      const page = await request.keep(api.logPage(link));
      this.keepSeverities(page);
      const height = this.pane.scrollHeight;
      const text = page.file_content || "";
      if (direction === "next") {
        this.pages.push(text);
        this.next = page.next;
      } else {
        this.pages.unshift(text);
        this.previous = page.previous;
        this.firstOffset -= utf8Length(text);
        if (this.firstLine !== null) this.firstLine -= text.split("\n").length - 1;
      }
      this.render();
      if (direction === "previous") this.pane.scrollTop += this.pane.scrollHeight - height;
      return true;
    } catch (error) {
      this.after.textContent = `Could not load more: ${error.message}`;
      return false;
    } finally {
      this.loading = false;  // reached only while current; a newer section starts unloaded
    }
  }

  keepSeverities(page) {
    for (const [offset, severity, ...span] of page.headers || []) {
      this.severities.set(offset, severity);
      if (span.length === 3) this.headers.set(offset, [severity, ...span]);
    }
  }

  render() {
    const text = this.pages.join("");
    const lines = text.split("\n");
    if (lines.length && lines[lines.length - 1] === "") lines.pop();
    const fragment = document.createDocumentFragment();
    let offset = this.firstOffset, number = this.firstLine;
    for (const line of lines) {
      const div = document.createElement("div");
      div.className = lineClass(line, this.severities.get(offset));
      div.dataset.offset = String(offset);
      // The number links to this very line (a link survives a reopening:
      // it names the section by task and sequence number, not by id).
      const link = document.createElement("a");
      link.className = "no";
      link.href = this.lineLink ? this.lineLink(offset) : "#";
      link.textContent = number === null ? "·" : String(number + 1);
      const text = document.createElement("span");
      text.className = "tx";
      fillLine(text, line, null, this.headers.get(offset));
      div.append(link, text);
      fragment.appendChild(div);
      offset += utf8Length(line) + 1;
      if (number !== null) number += 1;
    }
    this.linesEl.replaceChildren(fragment);
    this.before.textContent = this.previous ? "Scroll up for earlier lines…" : "Start of section";
    this.after.textContent = this.next ? "Scroll down for more…" : "End of section";
    this.pane.dataset.pages = String(this.pages.length);
    this.drawHighlight(false);
  }
}
