// The home page's search of every stored run: a text (or a regular
// expression), a suite, case. Its JSON lines are read as the service sends
// them, and shown as they come, grouped by run, then section: a row for each
// run, each section, each line, in one virtual list, an ARIA grid whose rows
// take the focus (↓ from the search box enters it; ↑ ↓ Home End move, Enter
// opens the row's link in the viewer). The address holds the search (?q=…&regex=1&case=1&in=SUITE), so
// that it can be linked to: the viewer's "Search other runs" opens it so.
// A new search stops the one under way: the service stops searching as the
// request goes.
import { el } from "./dom.js";
import { VirtualList } from "./vlist.js";

const ROW = 28;  // px; every row has the same height
const MOST_ROWS = 100000;  // rows shown at most; the search is stopped there

// The lines of a streamed answer, each parsed as it is complete.
async function* jsonLines(response) {
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let held = "";
  for (;;) {
    const { value, done } = await reader.read();
    held += decoder.decode(value || new Uint8Array(), { stream: !done });
    const lines = held.split("\n");
    held = lines.pop();
    for (const line of lines) if (line) yield JSON.parse(line);
    if (done) break;
  }
  if (held) yield JSON.parse(held);
}

// A hit's section link without its line.
const sectionLink = (link) => link.replace(/\?line=\d+$/, "");

export class RunSearch {
  constructor(root) {
    const part = (selector) => root.querySelector(selector);
    Object.assign(this, { form: part("form"), box: part(".run-search-text"), suite: part(".run-search-suite"),
      caseBox: part(".run-search-case"), regexBox: part(".run-search-regex"), status: part(".run-search-status"),
      notices: part(".run-search-notices"), results: part(".run-search-results"), grid: part("[role=grid]") });
    this.rows = [];
    this.request = null;
    this.list = new VirtualList(part(".run-search-scroll"), part(".run-search-body"), { rowHeight: ROW,
      rowRole: "row", render: (index) => this.row(this.rows[index]) });
    this.list.decorators.push((element, index) => element.setAttribute("aria-rowindex", String(index + 1)));
    this.list.onActivate = (index, event) => {
      if (!event.target.closest("a")) location.assign(this.rows[index].link);
    };
    this.form.addEventListener("submit", (event) => {
      event.preventDefault();
      this.search(true);
    });
    this.box.addEventListener("keydown", (event) => {
      if (event.key !== "ArrowDown" || !this.rows.length) return;
      event.preventDefault();
      this.list.focusRow(this.list.active);
    });
    // The field's clear button ends the search.
    this.box.addEventListener("search", () => { if (!this.box.value) this.search(true); });
    for (const input of [this.caseBox, this.regexBox, this.suite]) {
      input.addEventListener("change", () => { if (this.box.value) this.search(true); });
    }
    window.addEventListener("popstate", () => this.fromAddress());
  }

  // The suites the filter offers.
  setSuites(names) {
    const chosen = this.suite.value || new URLSearchParams(location.search).get("in") || "";
    this.suite.replaceChildren(el("option", { value: "", textContent: "All suites" }),
      ...names.map((name) => el("option", { value: name, textContent: name })));
    this.suite.value = names.includes(chosen) ? chosen : "";
  }

  // Runs the search the address holds, if any.
  fromAddress() {
    const params = new URLSearchParams(location.search);
    this.box.value = params.get("q") || "";
    this.regexBox.checked = params.get("regex") === "1";
    this.caseBox.checked = params.get("case") === "1";
    if (params.has("in")) this.suite.value = params.get("in");
    const asked = JSON.stringify(this.params());
    if (asked === this.asked) return;  // the same search: another part of the address changed
    this.search(false);
  }

  // The search's parameters, those set only.
  params() {
    const params = { q: this.box.value };
    if (this.regexBox.checked) params.regex = "1";
    if (this.caseBox.checked) params.case = "1";
    if (this.suite.value) params.in = this.suite.value;
    return params;
  }

  async search(remember) {
    this.request?.abort();
    const params = this.params();
    this.asked = JSON.stringify(params);
    if (remember) {
      const address = new URLSearchParams(location.search);
      for (const name of ["q", "regex", "case", "in"]) address.delete(name);
      for (const [name, value] of Object.entries(params)) address.set(name, value);
      history.pushState({}, "", `${location.pathname}?${address}`);
    }
    cancelAnimationFrame(this.frame);
    this.frame = 0;
    this.rows = [];
    this.hits = 0;
    this.notices.replaceChildren();
    this.draw();
    if (!params.q) {
      this.results.hidden = true;
      this.status.textContent = "";
      return;
    }
    this.results.hidden = false;
    this.grid.setAttribute("aria-busy", "true");
    this.status.textContent = "Searching…";
    const request = this.request = new AbortController();
    const query = new URLSearchParams({ q: params.q, ...(params.regex ? { regex: 1 } : {}),
      ...(params.case ? { case: 1 } : {}), ...(params.in ? { suite: params.in } : {}) });
    let cut = false;
    try {
      const response = await fetch(`/api/v1/search?${query}`, { signal: request.signal });
      if (!response.ok) {
        const body = await response.json().catch(() => ({}));
        throw new Error(body.message || body.detail || response.statusText);
      }
      for await (const line of jsonLines(response)) {
        if (line.notice) this.notices.append(el("li", { textContent: line.notice }));
        else if (line.error) throw new Error(line.error.message);
        else this.add(line);
        if (this.rows.length >= MOST_ROWS) {
          cut = true;
          request.abort();
          break;
        }
      }
      this.shown(cut ? "+" : "");
    } catch (error) {
      if (request.signal.aborted && !cut) return;  // a newer search took over
      if (cut) this.shown("+");
      else this.status.textContent = `Could not search: ${error.message}`;
    } finally {
      if (this.request === request) {
        this.grid.setAttribute("aria-busy", "false");
        cancelAnimationFrame(this.frame);
        this.frame = 0;
        this.draw();
      }
    }
  }

  // The rows found so far, in the list and counted for screen readers.
  draw() {
    this.list.setCount(this.rows.length);
    this.grid.setAttribute("aria-rowcount", String(this.rows.length));
  }

  // A hit, after the rows of its run and section when they are new.
  add(hit) {
    const last = this.rows[this.rows.length - 1];
    if (!last || last.hit?.request_id !== hit.request_id) {
      this.rows.push({ kind: "run", hit, link: hit.link.replace(/\/section\/.*$/, "") });
    }
    const previous = this.rows[this.rows.length - 1];
    if (previous.kind === "run" || previous.hit.path.join("\u0000") !== hit.path.join("\u0000")) {
      this.rows.push({ kind: "section", hit, link: sectionLink(hit.link) });
    }
    this.rows.push({ kind: "line", hit, link: hit.link });
    this.hits += 1;
    // Drawn once a frame however fast lines come.
    if (!this.frame) {
      this.frame = requestAnimationFrame(() => {
        this.frame = 0;
        this.draw();
        this.shown(" so far");
      });
    }
  }

  // The count of lines found: `more` "+" once cut short, " so far" while searching.
  shown(more) {
    const runs = this.rows.filter((row) => row.kind === "run").length;
    const lines = `${this.hits}${more === "+" ? "+" : ""} ${this.hits === 1 && !more ? "line" : "lines"}`;
    this.status.textContent = this.hits
      ? `${lines} in ${runs} ${runs === 1 ? "run" : "runs"}${more === " so far" ? " so far" : ""}`
      : "No line found";
  }

  row({ kind, hit, link }) {
    const cell = (className, ...children) => {
      const node = el("span", { className }, ...children);
      node.setAttribute("role", "gridcell");
      return node;
    };
    const anchor = (text, className = "") => el("a", { href: link, textContent: text, className, tabIndex: -1 });
    if (kind === "run") {
      return el("div", { className: "search-row search-run" },
        cell("search-run-id", anchor(hit.request_id)), cell("search-suite muted", hit.suite_name));
    }
    if (kind === "section") {
      return el("div", { className: "search-row search-section" }, cell("search-path", anchor(hit.path.join(" › "))));
    }
    // Numbered as the viewer numbers the section's lines, when the link says.
    const number = (link.match(/\?line=(\d+)$/) || [])[1] || String(hit.line);
    // The match marked: "column" counts characters from 1, as does "length".
    const chars = [...hit.text];
    const from = hit.column - 1, to = from + (hit.length || 0);
    return el("div", { className: "search-row search-line" },
      cell("search-number", anchor(number, "no")),
      cell("search-text mono", chars.slice(0, from).join(""),
        el("mark", { textContent: chars.slice(from, to).join("") }), chars.slice(to).join("")));
  }
}
