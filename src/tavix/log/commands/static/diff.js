// The Diff tab of a section: its log against the section of the same path in
// the baseline run, after masking what differs from run to run anyway.
// Unified or side by side; the characters that changed inside a changed line
// are marked; "n" and "p" (or the buttons) go to the next and previous
// change. Rows are drawn only while in view, so a diff of many thousand
// lines scrolls as lightly as a short one. A line number links to that line
// in its own run: this run's opens the Log tab there, the baseline's opens
// the baseline's section log below the diff (Escape closes it).
import { api } from "./api.js";
import { el } from "./dom.js";
import { Latest } from "./latest.js";
import { LogPane } from "./logpane.js";
import { fillLine, headerLength, headerToggle } from "./logline.js";

const ROW = 19;        // px, every row
const OVERSCAN = 30;
const CONTEXT = 3;

const REASONS = {
  NOT_IN_BASELINE: "The baseline run has no section of this path.",
  NO_BASELINE: "This viewer has no baseline run.",
};

// [start, end) of the characters that differ between two lines: what is
// left between their common prefix and common suffix. Of two record lines
// only the messages are compared: their headers differ anyway.
function changedRange(removed, added) {
  const lineA = removed.text, lineB = added.text;
  const skipA = headerLength(removed.header), skipB = headerLength(added.header);
  const from = skipA && skipB ? [skipA, skipB] : [0, 0];
  const a = lineA.slice(from[0]), b = lineB.slice(from[1]);
  let start = 0;
  while (start < a.length && start < b.length && a[start] === b[start]) start += 1;
  let end = 0;
  while (end < a.length - start && end < b.length - start && a[a.length - 1 - end] === b[b.length - 1 - end]) end += 1;
  return [[from[0] + start, from[0] + a.length - end], [from[1] + start, from[1] + b.length - end]];
}

// The hunks' lines with each changed line paired to its counterpart.
function blocks(hunk) {
  const out = [];
  let removed = [], added = [];
  const flush = () => {
    const pairs = Math.min(removed.length, added.length);
    for (let k = 0; k < pairs; k += 1) {
      const [left, right] = changedRange(removed[k], added[k]);
      removed[k].mark = left;
      added[k].mark = right;
    }
    if (removed.length || added.length) out.push({ removed, added });
    removed = [];
    added = [];
  };
  for (const line of hunk.lines) {
    if (line.op === "-") removed.push(line);
    else if (line.op === "+") added.push(line);
    else {
      flush();
      out.push({ same: line });
    }
  }
  flush();
  return out;
}

export class DiffView {
  constructor(root) {
    this.root = root;
    this.requests = new Latest();
    this.mode = "unified";
    this.status = el("span", { className: "muted diff-status" });
    this.modeButtons = ["unified", "split"].map((mode) => {
      const button = el("button", { className: "small", textContent: mode === "unified" ? "Unified" : "Side by side" });
      button.addEventListener("click", () => this.setMode(mode));
      return button;
    });
    const previous = el("button", { className: "small", textContent: "↑ Previous change", title: "Previous change (p)" });
    const next = el("button", { className: "small", textContent: "↓ Next change", title: "Next change (n)" });
    previous.addEventListener("click", () => this.step(-1));
    next.addEventListener("click", () => this.step(1));
    const toolbar = el("div", { className: "log-toolbar" }, ...this.modeButtons, previous, next, this.status,
      el("span", { className: "spacer" }), headerToggle());
    this.scroller = el("div", { className: "log-pane diff-pane", tabIndex: 0 });
    this.scroller.setAttribute("role", "region");
    this.scroller.setAttribute("aria-label", "Differences from the baseline run");
    this.body = el("div", { className: "diff-body" });
    this.body.setAttribute("role", "list");
    this.scroller.append(this.body);
    root.replaceChildren(toolbar, this.scroller, this.baselinePane());
    this.rows = [];
    this.changes = [];
    this.current = -1;
    this.drawn = new Map();
    this.scroller.addEventListener("scroll", () => this.draw());
    new ResizeObserver(() => this.draw()).observe(this.scroller);
    root.addEventListener("keydown", (event) => {
      if (event.ctrlKey || event.metaKey || event.altKey || event.target.tagName === "INPUT") return;
      if (event.key === "Escape" && !this.baseRoot.hidden) {
        event.preventDefault();
        this.closeBaseline();
      } else if (event.key === "n" || event.key === "p") {
        event.preventDefault();
        this.step(event.key === "n" ? 1 : -1);
      }
    });
    this.setMode("unified");
  }

  // The read-only log of the baseline's section, shown from a base line's link.
  baselinePane() {
    const lines = el("div", { className: "log-lines baseline-lines" });
    const before = el("div", { className: "log-edge" }), after = el("div", { className: "log-edge" });
    const pane = el("div", { className: "log-pane", tabIndex: 0 }, before, lines, after);
    pane.setAttribute("role", "region");
    pane.setAttribute("aria-label", "Log of the baseline's section");
    this.baseTitle = el("span", { className: "muted" });
    const close = el("button", { className: "small", textContent: "Close", title: "Close the baseline's log (Escape)" });
    close.addEventListener("click", () => this.closeBaseline());
    this.baseRoot = el("div", { className: "diff-baseline", hidden: true },
      el("div", { className: "log-toolbar" }, el("strong", { textContent: "Baseline" }), this.baseTitle,
        el("span", { className: "spacer" }), close), pane);
    this.baseLog = new LogPane(null, { parts: [pane, lines, before, after], firstPage: api.baselinePage, findLine: null });
    // A base line's link opens the baseline's log there; the numbers in that
    // log mark their line in place.
    this.root.addEventListener("click", (event) => {
      const link = event.target.closest("a.no");
      const inBaseline = link && this.baseRoot.contains(link);
      if (!link || !(inBaseline || link.dataset.base) || event.ctrlKey || event.metaKey || event.shiftKey) return;
      event.preventDefault();
      history.pushState({}, "", link.getAttribute("href"));
      if (inBaseline) this.baseLog.markLine(parseInt(link.parentElement.dataset.offset, 10));
      else this.openBaseline(parseInt(link.dataset.base, 10), parseInt(link.dataset.line, 10) - 1);
    });
    return this.baseRoot;
  }

  // Shows the baseline's section log with the line at byte `offset` (line
  // index `line`) highlighted.
  async openBaseline(offset, line) {
    this.baseRoot.hidden = false;
    this.baseTitle.textContent = line === null ? "the baseline's section" : `line ${line + 1} of the baseline's section`;
    await this.baseLog.openAt(this.section, offset, line);
    this.baseLog.pane.focus({ preventScroll: true });
  }

  closeBaseline() {
    this.baseRoot.hidden = true;
    this.baseLog.requests.drop();  // a page still on its way is dropped
    this.scroller.focus({ preventScroll: true });
  }

  // A new section: its diff is asked for when the tab is shown. `newLink`
  // and `baseLink` give the URL of a line of this run and of the baseline's
  // section by its byte offset; `baseAt` opens the baseline's log at that
  // offset once the diff is there.
  reset(section, newLink, baseLink = null, baseAt = null) {
    this.section = section;
    this.newLink = newLink;
    this.baseLink = baseLink;
    this.baseAt = baseAt;
    this.baseRoot.hidden = true;
    this.baseLog.lineLink = baseLink;
    this.baseLog.requests.drop();
    this.request = this.requests.begin();  // the diff of this section
    this.answer = null;
    this.loading = null;
    this.rows = [];
    this.changes = [];
    this.current = -1;
    this.clear();
  }

  async show() {
    if (!this.section) return;
    if (this.section.step_id !== undefined) {
      this.status.textContent = "Steps are compared as part of their section's log.";
      return;
    }
    if (!this.answer) {
      const request = this.request;
      this.status.textContent = "Comparing with the baseline…";
      this.loading = this.loading || api.diff(this.section.id, CONTEXT);
      try {
        this.answer = await request.keep(this.loading);
      } catch (error) {
        this.loading = null;
        this.status.textContent = REASONS[error.message] || `Could not compare: ${error.message}`;
        return;
      }
      this.build();
    }
    this.draw();
    this.scroller.focus({ preventScroll: true });
    if (this.baseAt !== null) {
      const at = this.baseAt;
      this.baseAt = null;
      const line = this.answer.hunks.flatMap((h) => h.lines).find((l) => l.base_offset === at);
      // A line the diff does not show is found by its offset alone: numbered from there.
      this.openBaseline(at, line ? line.base_line - 1 : null);
    }
  }

  setMode(mode) {
    this.mode = mode;
    for (const [index, button] of this.modeButtons.entries()) {
      button.setAttribute("aria-pressed", String(["unified", "split"][index] === mode));
      button.classList.toggle("active", ["unified", "split"][index] === mode);
    }
    this.root.classList.toggle("split", mode === "split");
    if (this.answer) {
      this.build();
      this.draw();
    }
  }

  build() {
    const answer = this.answer;
    const masked = answer.masked.length ? ` (masked: ${answer.masked.join(", ")})` : "";
    const changed = answer.hunks.reduce((n, h) => n + h.lines.filter((l) => l.op !== " ").length, 0);
    this.status.textContent = answer.identical ? `Same as the baseline${masked}`
      : `${changed} lines changed in ${answer.hunks.length} places${masked}` +
        (answer.approximate ? " — approximate: the diff took too long to be made minimal" : "") +
        (answer.truncated ? ` — only the first ${answer.hunks.length} of ${answer.hunk_count} places` : "");
    const rows = [], changes = [];
    for (const hunk of answer.hunks) {
      rows.push({ hunk: `@@ -${hunk.base_start},${hunk.base_count} +${hunk.new_start},${hunk.new_count} @@` });
      for (const block of blocks(hunk)) {
        if (block.same) {
          rows.push({ op: " ", left: block.same, right: block.same });
          continue;
        }
        changes.push(rows.length);
        if (this.mode === "unified") {
          for (const line of block.removed) rows.push({ op: "-", left: line });
          for (const line of block.added) rows.push({ op: "+", right: line });
        } else {
          const count = Math.max(block.removed.length, block.added.length);
          for (let k = 0; k < count; k += 1) rows.push({ op: "c", left: block.removed[k], right: block.added[k] });
        }
      }
    }
    this.rows = rows;
    this.changes = changes;
    this.current = -1;
    this.clear();
    this.body.style.height = `${rows.length * ROW}px`;
  }

  clear() {
    this.body.replaceChildren();
    this.drawn.clear();
    this.body.style.height = "0px";
  }

  // Scrolls to the next (1) or previous (-1) change; the first or the last
  // when none was visited yet.
  step(direction) {
    if (!this.changes.length) return;
    const last = this.changes.length - 1;
    this.current = this.current < 0 ? (direction > 0 ? 0 : last) : Math.min(Math.max(this.current + direction, 0), last);
    this.scroller.scrollTop = Math.max(0, (this.changes[this.current] - 2) * ROW);
    this.redraw();
  }

  redraw() {
    this.body.replaceChildren();
    this.drawn.clear();
    this.draw();
  }

  draw() {
    if (!this.rows.length || !this.scroller.clientHeight) return;
    const first = Math.max(0, Math.floor(this.scroller.scrollTop / ROW) - OVERSCAN);
    const last = Math.min(this.rows.length, Math.ceil((this.scroller.scrollTop + this.scroller.clientHeight) / ROW) + OVERSCAN);
    for (const [index, element] of this.drawn) {
      if (index < first || index >= last) {
        element.remove();
        this.drawn.delete(index);
      }
    }
    const active = this.current >= 0 ? this.changes[this.current] : -1;
    for (let index = first; index < last; index += 1) {
      if (this.drawn.has(index)) continue;
      const element = this.row(this.rows[index], index === active);
      element.style.top = `${index * ROW}px`;
      this.body.append(element);
      this.drawn.set(index, element);
    }
  }

  row(row, active) {
    if (row.hunk) {
      const header = el("div", { className: "drow dhunk", textContent: row.hunk });
      header.setAttribute("role", "listitem");
      return header;
    }
    const element = el("div", { className: `drow op-${row.op === " " ? "same" : row.op === "-" ? "del" : row.op === "+" ? "add" : "chg"}${active ? " current" : ""}` });
    element.setAttribute("role", "listitem");
    if (this.mode === "unified") {
      const line = row.left || row.right;
      element.append(this.number(row.left, "base"), this.number(row.right, "new"),
        el("span", { className: "sign", textContent: row.op }), this.text(line, row.op === " " ? null : line.mark));
    } else {
      element.append(this.side(row.left, "base", row.op === "c" ? "del" : ""), this.side(row.right, "new", row.op === "c" ? "add" : ""));
    }
    return element;
  }

  side(line, run, kind) {
    const cell = el("div", { className: `dside ${line ? kind : "empty"}` });
    if (line) cell.append(this.number(line, run), this.text(line, kind ? line.mark : null));
    return cell;
  }

  // A line's number in its own run: for this run, a link to the line in its log.
  number(line, run) {
    if (!line) return el("span", { className: "no" });
    const number = run === "base" ? line.base_line : line.new_line;
    if (run === "new" && this.newLink) {
      return el("a", { className: "no", href: this.newLink(line.new_offset), textContent: String(number),
        title: "This line in the log" });
    }
    if (run === "base" && this.baseLink) {
      const link = el("a", { className: "no", href: this.baseLink(line.base_offset), textContent: String(number),
        title: `Line ${number} in the baseline's log` });
      Object.assign(link.dataset, { base: String(line.base_offset), line: String(number) });
      return link;
    }
    return el("span", { className: "no", textContent: String(number), title: `Line ${number} of the baseline's section` });
  }

  text(line, mark) {
    const span = el("span", { className: "tx" });
    fillLine(span, line.text, mark || null, line.header);
    return span;
  }
}
