// Triage: what the team decided about each failure of the run, under the
// team service (its API, as the signed-in user) or in the local viewer of
// `tavix logs view` (its own routes, as the operating system's user), once
// the viewer answers the run's marks. Failing tree nodes and Failures groups
// carry their mark's kind or "to investigate"; a "to investigate" chip
// filters the tree to failing sections with no mark; a failing section's
// header holds a panel to set, change or remove a mark, claim or release
// it, and apply a suggestion.
// Everything the users wrote is shown as text; a ticket is a link only when
// it is an http or https address.
import { PREFIX, RUN } from "./api.js";
import { el } from "./dom.js";

// Where the routes of marks are: the service's API, else the viewer's own.
const API = RUN ? "/api/v1" : PREFIX;
const RUN_MARKS = RUN ? `${API}/runs/${RUN}/marks` : `${API}/marks`;
const REFUSED = RUN ? "you may not change marks here (the triager role is needed)" :
  "this viewer lets in only its own user: open the address 'tavix logs view' printed";
export const KINDS = { "product-bug": "product bug", "test-bug": "test bug", environment: "environment", muted: "muted" };
const INVESTIGATE = "to investigate";

// A section's path as the key of a map.
const pathKey = (names) => JSON.stringify(names);

// The ticket as a link when it is a web address, as text otherwise.
function ticketOf(ticket) {
  if (!ticket) return null;
  let url = null;
  try {
    url = new URL(ticket);
  } catch {
    url = null;
  }
  if (url && (url.protocol === "http:" || url.protocol === "https:")) {
    return el("a", { href: url.href, textContent: ticket, target: "_blank", rel: "noopener noreferrer" });
  }
  return el("span", { textContent: ticket });
}

// A write to the service; an Error carrying the service's message when refused.
async function write(method, path, body) {
  const response = await fetch(API + path, { method, headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body) });
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) {
    const reason = response.status === 403 ? REFUSED : answer.message || answer.detail || response.statusText;
    throw new Error(reason);
  }
  return answer;
}

const when = (time) => String(time || "").replace("T", " ").slice(0, 19);

export class Triage {
  // knownPath(id): the path the run index knows section `id` by (the run
  // history's, which numbers sections of one name "#2"...), or undefined.
  constructor(tree, knownPath = () => undefined) {
    this.tree = tree;
    this.knownPath = knownPath;
    this.suite = null;
    this.nodes = new Map();        // path key -> {path, signature, marks, claims}
    this.categories = new Map();   // signature -> {signature, marks, claims}
    this.suggestions = new Map();  // path key -> [{score, mark}]
    this.active = false;           // the "to investigate" chip is on
    this.onFilter = () => {};      // (Set of section ids | null)
    this.onChange = () => {};      // the marks were written and loaded again
    this.chip = null;
    this.ready = false;            // the run's marks came
  }

  // Fetches the run's marks; false when the viewer has none to give (no run index).
  async load() {
    const response = await fetch(RUN_MARKS);
    if (!response.ok) return false;
    const answer = await response.json();
    this.suite = answer.suite;  // as the run index names it
    this.nodes = new Map(answer.nodes.map((node) => [pathKey(node.path), node]));
    this.categories = new Map(answer.categories.map((category) => [category.signature, category]));
    this.suggestions = new Map(answer.suggestions.map((s) => [pathKey(s.path), s.suggestions]));
    this.ready = true;
    return true;
  }

  // The path of tree node `node`, a section: as the run index knows it, else
  // the names from the script down (the task row above them is no section,
  // steps are none either).
  pathOf(node) {
    const known = this.knownPath(node.id);
    if (known) return known;
    const names = [];
    for (let at = node; at && at.type !== "task"; at = this.tree.nodes[at.parent]) {
      if (at.step === null) names.unshift(String(at.name));
    }
    return names;
  }

  // The triage entry of tree node `id`: a step has its section's.
  entryOf(id) {
    let node = this.tree.byId(id);
    while (node && node.step !== null) node = this.tree.nodes[node.parent];
    return node && node.type !== "task" ? this.nodes.get(pathKey(this.pathOf(node))) : undefined;
  }

  badgeOf(marks, title) {
    if (!marks.length) return el("span", { className: "triage-badge t-investigate", textContent: INVESTIGATE, title });
    const words = [...new Set(marks.map((mark) => KINDS[mark.kind] || mark.kind))];
    return el("span", { className: `triage-badge t-${marks[0].kind}`, textContent: words.join(", "),
      title: marks.map((mark) => `${KINDS[mark.kind] || mark.kind} (${mark.scope}) by ${mark.author}`).join("\n") });
  }

  // The badge of a tree row: only failing sections (and their steps) carry one.
  badge(node) {
    if (node.step !== null || node.type === "task") return null;
    const entry = this.entryOf(node.id);
    return entry ? this.badgeOf(entry.marks, "No mark yet: to investigate") : null;
  }

  groupBadge(item) {
    if (item.signature === undefined) return null;
    const category = this.categories.get(item.signature);
    return category ? this.badgeOf(category.marks, "No mark on this cause: to investigate") : null;
  }

  uninvestigated() {
    const ids = new Set();
    for (const node of this.tree.nodes) {
      if (node.type === "task" || node.step !== null) continue;
      const entry = this.nodes.get(pathKey(this.pathOf(node)));
      if (entry && !entry.marks.length) ids.add(node.id);
    }
    return ids;
  }

  // The "to investigate" chip beside the history's.
  makeChip() {
    this.chip = el("button", { className: "chip triage-chip", title: "Show only the failures with no mark" });
    this.chip.setAttribute("aria-pressed", "false");
    this.chip.addEventListener("click", () => {
      this.active = !this.active;
      this.refreshChip();
      this.onFilter(this.active ? this.uninvestigated() : null);
    });
    this.refreshChip();
    return this.chip;
  }

  refreshChip() {
    const count = this.uninvestigated().size;
    this.chip.replaceChildren(INVESTIGATE, el("b", { textContent: String(count) }));
    this.chip.classList.toggle("zero", !count);
    this.chip.classList.toggle("active", this.active);
    this.chip.setAttribute("aria-pressed", String(this.active));
  }

  // The panel of section `id` into `container`, replacing the one shown; none
  // for a section that does not fail.
  showPanel(container, id) {
    container.querySelector(".triage-panel")?.remove();
    const entry = this.entryOf(id);
    if (!entry) return;
    const panel = el("section", { className: "triage-panel" });
    panel.setAttribute("aria-label", "Triage");
    const status = el("p", { className: "triage-error" });
    status.setAttribute("role", "alert");
    const run = async (action) => {
      status.textContent = "";
      try {
        await action();
      } catch (error) {
        status.textContent = error.message;
        return;
      }
      await this.load();
      this.refreshChip();
      if (this.active) this.onFilter(this.uninvestigated());
      this.onChange();
      this.open = true;
      this.showPanel(container, id);
      container.querySelector(".triage-panel summary")?.focus();
    };
    const state = entry.marks.length ? entry.marks.map((mark) => KINDS[mark.kind] || mark.kind).join(", ") : INVESTIGATE;
    const claimed = entry.claims.length ? ` · ${entry.claims[0].claimed_by} is on it` : "";
    const details = el("details", { open: Boolean(this.open) },
      el("summary", { textContent: `Triage: ${state}${claimed}` }),
      this.marksList(entry), this.claimsList(entry), this.suggestionsList(entry, run),
      this.markForm(entry, run), this.claimButtons(entry, run), status);
    details.addEventListener("toggle", () => { this.open = details.open; });
    panel.append(details);
    container.append(panel);
  }

  target(entry, scope) {
    return scope === "signature" ? { signature: entry.signature } : { path: entry.path };
  }

  marksList(entry) {
    if (!entry.marks.length) return el("p", { className: "muted", textContent: `No mark: ${INVESTIGATE}.` });
    return el("ul", { className: "triage-marks" }, ...entry.marks.map((mark) => el("li", {},
      el("span", { className: `triage-badge t-${mark.kind}`, textContent: KINDS[mark.kind] || mark.kind }),
      el("span", { textContent: ` on this ${mark.scope === "signature" ? "cause" : "section"}, by ${mark.author} at ${when(mark.time)} ` }),
      ticketOf(mark.ticket),
      mark.comment ? el("div", { className: "triage-comment", textContent: mark.comment }) : null,
      mark.claimed_by ? el("div", { textContent: `claimed by ${mark.claimed_by} since ${when(mark.claimed_since)}` }) : null,
      (mark.history || []).length ? el("details", {}, el("summary", { textContent: `History (${mark.history.length})` }),
        el("ol", {}, ...mark.history.map((change) => el("li", { textContent: describe(change) })))) : null)));
  }

  claimsList(entry) {
    if (!entry.claims.length) return null;
    return el("ul", { className: "triage-claims" }, ...entry.claims.map((claim) => el("li", {
      textContent: `${claim.claimed_by} is on it since ${when(claim.claimed_since)}` })));
  }

  suggestionsList(entry, run) {
    const suggestions = this.suggestions.get(pathKey(entry.path)) || [];
    if (!suggestions.length) return null;
    return el("div", { className: "triage-suggestions" }, el("h4", { textContent: "Alike marked causes" }),
      el("ul", {}, ...suggestions.map(({ score, mark }) => el("li", {},
        el("span", { textContent: `${KINDS[mark.kind] || mark.kind} · ${Math.round(score * 100)}% alike · ${mark.signature || ""} ` }),
        el("button", { type: "button", textContent: "Apply", title: "Mark this cause the same way",
          onclick: () => run(() => write("POST", `/suites/${encodeURIComponent(this.suite)}/marks`, {
            signature: entry.signature, kind: mark.kind, ticket: mark.ticket || undefined,
            comment: mark.comment || undefined })) })))));
  }

  markForm(entry, run) {
    const current = entry.marks[0];
    const field = (label, control) => el("label", {}, el("span", { textContent: label }), control);
    const kind = el("select", { name: "kind" }, ...Object.entries(KINDS).map(([value, word]) =>
      el("option", { value, textContent: word, selected: current ? current.kind === value : false })));
    const scope = el("select", { name: "scope" },
      el("option", { value: "path", textContent: "this section" }),
      el("option", { value: "signature", textContent: "its cause (every section failing this way)" }));
    if (current) scope.value = current.scope;
    const ticket = el("input", { name: "ticket", type: "url", placeholder: "https://…", value: current?.ticket || "" });
    const comment = el("textarea", { name: "comment", rows: 2, maxLength: 10000, value: current?.comment || "" });
    const form = el("form", { className: "triage-form" },
      field("Kind", kind), field("Scope", scope), field("Ticket", ticket), field("Comment", comment),
      el("div", { className: "triage-actions" },
        el("button", { type: "submit", textContent: current ? "Change mark" : "Mark" }),
        current ? el("button", { type: "button", textContent: "Remove mark", onclick: () => run(() =>
          write("DELETE", `/suites/${encodeURIComponent(this.suite)}/marks`, this.target(entry, scope.value))) }) : null));
    form.addEventListener("submit", (e) => {
      e.preventDefault();
      run(() => write("POST", `/suites/${encodeURIComponent(this.suite)}/marks`, {
        ...this.target(entry, scope.value), kind: kind.value,
        ...(ticket.value ? { ticket: ticket.value } : {}), ...(comment.value ? { comment: comment.value } : {}) }));
    });
    form.setAttribute("aria-label", "Mark this failure");
    return form;
  }

  claimButtons(entry, run) {
    const claims = `/suites/${encodeURIComponent(this.suite)}/claims`;
    return el("div", { className: "triage-actions" },
      el("button", { type: "button", textContent: "I'm on it", onclick: () => run(() => write("POST", claims, { path: entry.path })) }),
      entry.claims.length ? el("button", { type: "button", textContent: "Release",
        onclick: () => run(() => write("DELETE", claims, this.target(entry, entry.claims[0].scope))) }) : null);
  }
}

// One change of a mark's history as a line.
function describe(change) {
  const what = [change.action, change.kind && (KINDS[change.kind] || change.kind), change.ticket, change.comment]
    .filter(Boolean).join(" · ");
  return `${when(change.time)} ${change.author || change.user || ""}: ${what || JSON.stringify(change)}`;
}
