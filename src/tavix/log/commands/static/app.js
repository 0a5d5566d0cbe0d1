// The run viewer: job header and summary, the test tree, section logs and
// device commands, the archive's files. The URL after "/result" names what
// is shown, so links can be shared and a reload restores the view:
//   /result/task/<task>/section/<sequence number>[/step/<index>]
//   /result/file/<path in the archive>
// Under the team service every path starts with the run's base, sections
// and lines have lasting links to copy, and the service's own links,
//   <base>/section/<name>/<name>...[?line=<line number>]
// open the section they name.
import { api, BASE, onRunGone, RUN } from "./api.js";
import { ChangesView, markTree } from "./changes.js";
import { DiffView } from "./diff.js";
import { copyLink } from "./copylink.js";
import { $, el, resultClass, summaryKinds } from "./dom.js";
import { DeviceCommands } from "./devices.js";
import { FailuresView } from "./failures.js";
import { RunHistory } from "./history.js";
import { FileTree, FileView, isViewerFile } from "./files.js";
import { Latest } from "./latest.js";
import { attachLineHandlers } from "./logline.js";
import { LogPane } from "./logpane.js";
import { searchOtherRuns } from "./other_runs.js";
import { LogSearch } from "./search.js";
import { service } from "./service.js";
import { Tabs } from "./tabs.js";
import { Timeline } from "./timeline.js";
import { kindLabel, TestTree } from "./tree.js";
import { Triage } from "./triage.js";

const logPane = new LogPane($("#section-view"));
const logSearch = new LogSearch(logPane, $("#section-view"));
const tree = new TestTree($("#tests-panel"), $("#task-tree"));
const failures = new FailuresView($("#failures-panel"));
const runHistory = new RunHistory();
const triage = new Triage(tree, (id) => runHistory.path(id));
const changes = new ChangesView($("#changes-panel"));
const diffView = new DiffView($("#diff-view"));
const devices = new DeviceCommands($("#executions-view"), $("#exe-count"));
const fileTree = new FileTree($("#files-panel"), $("#file-tree"));
const fileView = new FileView($("#file-view"));
const timeline = new Timeline($("#timeline-view"), tree, (key, at) => navigate(key, at));
// The sidebar's tabs and a section's; views add theirs with add().
const sidebarTabs = new Tabs($("#sidebar-tabs"), "tab");
const sectionTabs = new Tabs($("#section-tabs"), "view");
sidebarTabs.onShow("tests", () => tree.schedule());
sidebarTabs.onShow("failures", () => failures.draw());

// ---------------------------------------------------------------- header ---
function showJob(meta, summary, archive) {
  $("#suite-name").textContent = meta.suite_name || "Run";
  $("#job-id").textContent = meta.request_id ? `Job ${meta.request_id}` : "";
  document.title = `${meta.suite_name || "Run"} · tavix logs`;
  const facts = [["Submitter", meta.submitter], ["Testbed", meta.testbed], ["Host", meta.exec_host],
    ["Run time", meta.run_time], ["Started", meta.start_time], ["Stopped", meta.stop_time]];
  $("#job-meta").replaceChildren(...facts.filter(([, v]) => v).map(([k, v]) =>
    el("div", {}, el("dt", { textContent: k }), el("dd", { textContent: v }))));
  $("#archive-name").textContent = archive.archive_name;
  $("#download-archive").href = api.downloadUrl();

  const kinds = summaryKinds(summary);
  const total = kinds.reduce((n, [, v]) => n + (parseInt(v, 10) || 0), 0);
  const chips = kinds.map(([k, v]) => el("button",
    { className: `chip ${resultClass(k)}${parseInt(v, 10) ? "" : " zero"}`, title: `Show only ${k}`,
      onclick: (e) => filterByResult(k, e.currentTarget) }, k, el("b", { textContent: v })));
  for (const chip of chips) chip.setAttribute("aria-pressed", "false");
  chips.push(el("span", { className: "chip" }, "total", el("b", { textContent: summary.total_tasks ?? total })));
  if (summary.success_rate !== undefined) {
    chips.push(el("span", { className: "chip" }, "success", el("b", { textContent: `${summary.success_rate}%` })));
  }
  $("#summary-counts").replaceChildren(...chips);
  $("#summary-bar").setAttribute("aria-label", `Results: ${kinds.map(([k, v]) => `${k} ${v}`).join(", ")}`);
  $("#summary-bar").replaceChildren(...kinds.filter(([, v]) => parseInt(v, 10) > 0).map(([k, v]) =>
    el("span", { className: resultClass(k), title: `${k}: ${v}`, style: `width:${(100 * v) / total}%` })));
}

// ------------------------------------------------------------------ views ---
function show(view) {
  for (const id of ["welcome", "section-view", "file-view", "timeline-view"]) $(`#${id}`).hidden = id !== view;
}

const showTab = (tab) => sidebarTabs.show(tab);
const showSectionTab = (view) => sectionTabs.show(view);

// A viewer started with an access token refuses a browser that has not
// opened its tokened address yet.
const ACCESS_HELP = "this viewer lets in only its own user. Open the address that " +
  "'tavix logs view' printed (the one with ?token=), in this browser.";
const GONE = "This run is no longer stored.";
const REASONS = new Map([["ACCESS_DENIED", ACCESS_HELP], ["RUN_NOT_FOUND", GONE]]);

// What a failed request says to the user.
const reasonOf = (error) => REASONS.get(error.message) || error.message;

// -------------------------------------------------- tree filters, search ---
// The tree shows the nodes every active filter keeps: a result chip, the name
// filter, the job search's hits, a group of the Failures view.
const filters = { result: null, name: "", hits: null, failures: null, history: null, triage: null };
let jobQuery = "";
const jobSearches = new Latest();

function applyFilters() {
  const { result, name, hits, failures: group, history: known, triage: unmarked } = filters;
  const needle = name.toLowerCase();
  const active = result || needle || hits || group || known || unmarked;
  tree.setFilter(active ? (node) =>
    (!result || resultClass(node.result) === result) &&
    (!needle || String(node.name).toLowerCase().includes(needle)) &&
    (!hits || hits.has(node.id)) && (!group || group.has(node.id)) && (!known || known.has(node.id)) &&
    (!unmarked || unmarked.has(node.id)) : null);
}

function filterByResult(kind, chip) {
  const group = resultClass(kind);
  filters.result = filters.result === group ? null : group;
  for (const other of document.querySelectorAll("#summary-counts .chip:not(.history-chip):not(.triage-chip)")) {
    other.classList.remove("active");
    other.setAttribute("aria-pressed", "false");
  }
  if (filters.result) {
    chip.classList.add("active");
    chip.setAttribute("aria-pressed", "true");
  }
  applyFilters();
}

async function searchJob(query) {
  jobQuery = query;
  const request = jobSearches.begin();
  const status = $("#tree-status");
  if (!query) {
    filters.hits = null;
    tree.setBadges(null);
    status.textContent = "";
    return applyFilters();
  }
  status.textContent = "searching…";
  try {
    const answer = await request.keep(api.jobSearch({ q: query }));
    filters.hits = new Map(answer.sections.map((s) => [s.id, s.hits]));
    tree.setBadges(new Map(answer.sections.map((s) => [s.id, String(s.hits)])));
    status.textContent = `${answer.total} lines in ${answer.sections.length} sections`;
    applyFilters();
  } catch (error) {
    status.textContent = error.message === "INVALID_QUERY" ? "not a valid search" : error.message;
  }
}

const FAILED = (node) => ["r-fail", "r-error"].includes(resultClass(node.result));

const openings = new Latest();  // the section shown

// The lasting link of the section shown (under the service; a step has none).
let shownSectionId = null;
const sectionCopy = RUN && copyLink(async () => (await service.sectionLink(shownSectionId)).link);

// The lasting link of a line of the section shown.
const lineCopy = (offset) => copyLink(async () => (await service.sectionLink(shownSectionId, offset)).link,
  "Copy line link");

// What the marked line shows beside it: its lasting link (under the service,
// for a section's line), and the search of other runs for it.
const lineTools = (offset, step) => el("span", {}, sectionCopy && !step ? lineCopy(offset) : null,
  searchOtherRuns(() => logPane.messageAt(offset)));

async function showSection(key, at = null) {
  const node = tree.byKey(key);
  if (!node) return show("welcome");
  show("section-view");
  showTab("tests");
  tree.select(key);
  // The pane switches at once, so a tab chosen while the record is on its
  // way stays chosen.
  showSectionTab("log");
  devices.closeCommand();
  $("#section-title").textContent = node.name;
  const step = node.step !== null;
  if (sectionCopy) {
    shownSectionId = step ? null : node.id;
    sectionCopy.hidden = step;
  }
  logPane.lineTools = (offset) => lineTools(offset, step);
  const request = openings.begin();
  const section = await request.keep(api.section(node.id));
  $("#section-title").textContent = step ? section.step_name : section.section_name;
  const facts = [step ? "step" : kindLabel(section.section_type),
    section.start_time && `started ${section.start_time}`, section.run_time && `ran ${section.run_time}`,
    section.source_file && `${section.source_file}${section.source_line ? ":" + section.source_line : ""}`];
  $("#section-facts").replaceChildren(...facts.filter(Boolean).map((f) => el("span", { textContent: f })));
  const badge = $("#section-result");
  badge.textContent = section.result || "no result";
  badge.className = `badge ${resultClass(section.result)}`;
  if (!step) runHistory.showStrip($("#section-facts"), node.id);
  if (triage.ready) triage.showPanel($("#triage-holder"), node.id);
  $("#log-end").disabled = !(parseInt(section.log_size, 10) > 0);
  logPane.lineLink = (offset) => `${sectionUrl(key)}?at=${offset}`;
  // A link to a line of the baseline's section opens the Diff tab with it.
  const baseAt = new URLSearchParams(location.search).get("base_at");
  diffView.reset(section, logPane.lineLink, (offset) => `${sectionUrl(key)}?base_at=${offset}`,
    baseAt === null ? null : parseInt(baseAt, 10) || 0);
  if (baseAt !== null) showSectionTab("diff");
  // A section with job search hits opens at its first hit.
  const fromJob = jobQuery && filters.hits && filters.hits.has(node.id);
  if (fromJob) $("#log-search").value = jobQuery;
  // The log's first page is asked for first; the search and the device
  // commands follow, whatever the pane shows by the time their answers come.
  if (at !== null) logPane.openAt(section, at);
  else if (!fromJob) logPane.open(section, 0);
  logSearch.reset(section, fromJob);
  devices.open(section);
}

function openFile(path) {
  if (!isViewerFile(path)) {
    showTab("files");
    show("file-view");
  }
  fileTree.select(`file/${path}`);
  return fileView.show(path);
}

// ------------------------------------------------------------- deep links ---
function keyFromLocation() {
  return decodeURIComponent(location.pathname.slice(BASE.length).replace(/^\/result\/?/, ""));
}

function sectionUrl(key) {
  return `${BASE}/result/` + key.split("/").map(encodeURIComponent).join("/");
}

const LASTING = "/section/";

// Opens the section a lasting link of the service names, at its line when
// given; the address becomes the viewer's own for it.
async function followLastingLink() {
  const names = location.pathname.slice(BASE.length + LASTING.length).split("/").map(decodeURIComponent);
  const line = new URLSearchParams(location.search).get("line");
  let found, node;
  try {
    found = await service.sectionAt(names, line);
    node = tree.byId(found.id);
    if (!node) throw new Error("SECTION_NOT_FOUND");
  } catch (error) {
    show("section-view");
    $("#section-title").textContent = `Could not open the link: ${reasonOf(error)}`;
    return;
  }
  const at = found.offset === null || found.offset === undefined ? "" : `?at=${found.offset}`;
  history.replaceState({ key: node.key }, "", sectionUrl(node.key) + at);
  route(node.key);
}

// A group chosen in the Failures view filters the tree, which then opens
// its nodes at their cause lines.
function showFailureGroup(ids, label) {
  const hadFocus = $("#failures-panel").contains(document.activeElement);
  filters.failures = ids;
  $("#failure-filter").hidden = !ids;
  $("#failure-filter-label").textContent = label;
  $("#failure-filter-label").title = label;
  if (ids) showTab("tests");
  applyFilters();
  // The chosen group's panel is gone: the focus goes on to its tree.
  if (ids && hadFocus) tree.focus();
}

function route(key) {
  if (key === "timeline") {
    show("timeline-view");
    return timeline.show();
  }
  if (key.startsWith("file/")) return openFile(key.slice(5));
  const at = new URLSearchParams(location.search).get("at");
  if (key.startsWith("task/")) return showSection(key, at === null ? null : parseInt(at, 10) || 0).catch((error) => {
    show("section-view");
    $("#section-title").textContent = `Could not load the section: ${reasonOf(error)}`;
  });
  show("welcome");
}

// Shows `key`; a section opens at byte `at` of its log, highlighted, when given.
function navigate(key, at = null) {
  if (key.startsWith("file/") && isViewerFile(key)) return route(key);  // opens a new tab
  const url = sectionUrl(key) + (at === null ? "" : `?at=${at}`);
  if (location.pathname + location.search !== url) history.pushState({ key }, "", url);
  route(key);
}

window.addEventListener("popstate", () => route(keyFromLocation()));

// Under the service, a run deleted while shown says so over the page.
function showRunGone() {
  if ($("#run-gone")) return;
  document.body.classList.add("run-gone-page");
  const banner = el("div", { id: "run-gone", className: "run-gone" }, GONE + " ",
    el("a", { href: "/", textContent: "All runs" }));
  banner.setAttribute("role", "alert");
  document.body.prepend(banner);
}

async function main() {
  attachLineHandlers(document);
  onRunGone(showRunGone);
  if (sectionCopy) $("#section-result").before(sectionCopy);
  // Keys typed into a field (the triage panel's comment among them) are its text, no shortcut.
  const typing = () => ["INPUT", "TEXTAREA", "SELECT"].includes(document.activeElement?.tagName);
  // "/" jumps to the log search, as in many viewers.
  document.addEventListener("keydown", (e) => {
    if (e.key === "/" && !$("#section-view").hidden && !typing()) {
      e.preventDefault();
      showSectionTab("log");
      $("#log-search").focus();
    }
  });
  // "]" and "[": the next and previous failed or errored section.
  document.addEventListener("keydown", (e) => {
    if ((e.key !== "]" && e.key !== "[") || typing()) return;
    const key = tree.step(FAILED, e.key === "]" ? 1 : -1);
    if (key) navigate(key);
  });
  // A line number is a link to its line: followed in place.
  $("#log-lines").addEventListener("click", (e) => {
    const link = e.target.closest("a.no");
    if (!link || e.ctrlKey || e.metaKey || e.shiftKey) return;
    e.preventDefault();
    history.pushState({}, "", link.getAttribute("href"));
    logPane.markLine(parseInt(link.parentElement.dataset.offset, 10));
  });
  $("#job-search").addEventListener("keydown", (e) => {
    if (e.key === "Enter") searchJob(e.target.value);
  });
  $("#job-search").addEventListener("search", (e) => { if (!e.target.value) searchJob(""); });
  $("#name-filter").addEventListener("input", (e) => {
    filters.name = e.target.value;
    applyFilters();
  });
  tree.onOpen = (key) => navigate(key, failures.causeAt(tree.byKey(key)?.id));
  failures.onFilter = showFailureGroup;
  failures.nameOf = (id) => { const node = tree.byId(id); return node ? node.name || kindLabel(node.type) : id; };
  failures.onOpen = (id) => { const node = tree.byId(id); if (node) navigate(node.key); };
  $("#failure-filter-clear").addEventListener("click", () => failures.clear());
  $("#open-timeline").addEventListener("click", () => navigate("timeline"));
  const [meta, summary, archive, compact, files] = await Promise.all([
    api.metadata(), api.summary(), api.archiveName(), api.tree(),
    api.fileList().catch(() => ({ results: [] }))]);
  showJob(meta, summary, archive);
  tree.load(compact);
  fileTree.onOpen = navigate;
  fileTree.load(files.results);
  if (RUN && location.pathname.startsWith(BASE + LASTING)) followLastingLink();
  else route(keyFromLocation());
  failures.load().then((count) => { $("#failure-count").textContent = count ? String(count) : ""; });
  loadHistory().then(loadTriage);
  changes.onOpen = (id) => { const node = tree.byId(id); if (node) navigate(node.key); };
  changes.load().then((answer) => {
    if (!answer) return;  // no baseline: no Changes and Diff tabs
    const count = el("span", { id: "change-count", className: "count", textContent: String((answer.newly_failing || []).length || "") });
    sidebarTabs.add("changes", { label: ["Changes ", count], panel: $("#changes-panel"), onShow: () => changes.draw() });
    sectionTabs.add("diff", { label: "Diff", panel: $("#diff-view"), onShow: () => diffView.show() });
    if (diffView.baseAt != null) showSectionTab("diff");  // a link to a baseline line came first
    if (answer.newly_failing) markTree(tree, answer);
  });
  document.body.dataset.ready = "true";
}

// Badges, filters and strips of the run history, once it has come.
async function loadHistory() {
  if (!await runHistory.load()) return;
  tree.decorate((element, node) => {
    const mark = runHistory.badge(node.id);
    if (mark) element.append(mark);
  });
  failures.decorate = (item) => runHistory.groupBadge(item);
  runHistory.onFilter = (ids) => {
    filters.history = ids;
    applyFilters();
  };
  $("#summary-counts").append(...runHistory.chips());
  tree.redraw();
  failures.redraw();
  showShownStrip();
}

// The history strip of the section shown, if one is.
function showShownStrip() {
  const key = keyFromLocation();
  const node = key.startsWith("task/") && tree.byKey(key);
  if (node && node.step === null && !$("#section-view").hidden) runHistory.showStrip($("#section-facts"), node.id);
}

// Where the viewer answers the run's marks: their badges, the "to
// investigate" chip and the panel of the section shown.
async function loadTriage() {
  if (!await triage.load().catch(() => false)) return;
  const decorateFailures = failures.decorate;
  failures.decorate = (item) => {
    const marks = triage.groupBadge(item);
    const rest = decorateFailures(item);
    return marks && rest ? el("span", { className: "failure-badges" }, marks, rest) : marks || rest;
  };
  tree.decorate((element, node) => {
    const badge = triage.badge(node);
    if (badge) element.append(badge);
  });
  triage.onFilter = (ids) => {
    filters.triage = ids;
    applyFilters();
  };
  triage.onChange = () => {
    tree.redraw();
    failures.redraw();
    // A mark written here shows on the history strip too.
    runHistory.load().then((loaded) => { if (loaded) showShownStrip(); });
  };
  $("#summary-counts").append(triage.makeChip());
  tree.redraw();
  failures.redraw();
  const key = keyFromLocation();
  const node = key.startsWith("task/") && tree.byKey(key);
  if (node && !$("#section-view").hidden) triage.showPanel($("#triage-holder"), node.id);
  document.body.dataset.triage = "ready";
}

main().catch((error) => {
  const reason = reasonOf(error);
  $("#suite-name").textContent = `Could not load the run: ${reason}`;
});
