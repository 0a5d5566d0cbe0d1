// The run viewer: job header and summary, the test tree, section logs and
// device commands, the archive's files. The URL after "/result" names what
// is shown, so links can be shared and a reload restores the view:
//   /result/task/<task>/section/<sequence number>[/step/<index>]
//   /result/file/<path in the archive>
import { api } from "./api.js";
import { $, el, resultClass } from "./dom.js";
import { closeExecution, loadExecutions } from "./devices.js";
import { buildFileTree, isViewerFile, selectFile, showFile } from "./files.js";
import { LogPane } from "./logpane.js";
import { kindLabel, TestTree } from "./tree.js";

const logPane = new LogPane($("#section-view"));
const tree = new TestTree($("#tests-panel"), $("#task-tree"));

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

  const kinds = Object.entries(summary).filter(([k]) =>
    !["total_tasks", "applicable_tasks", "success_rate"].includes(k));
  const total = kinds.reduce((n, [, v]) => n + (parseInt(v, 10) || 0), 0);
  const chips = kinds.map(([k, v]) => el("span",
    { className: `chip ${resultClass(k)}${parseInt(v, 10) ? "" : " zero"}` }, k, el("b", { textContent: v })));
  chips.push(el("span", { className: "chip" }, "total", el("b", { textContent: summary.total_tasks ?? total })));
  if (summary.success_rate !== undefined) {
    chips.push(el("span", { className: "chip" }, "success", el("b", { textContent: `${summary.success_rate}%` })));
  }
  $("#summary-counts").replaceChildren(...chips);
  $("#summary-bar").replaceChildren(...kinds.filter(([, v]) => parseInt(v, 10) > 0).map(([k, v]) =>
    el("span", { className: resultClass(k), title: `${k}: ${v}`, style: `width:${(100 * v) / total}%` })));
}

// ------------------------------------------------------------------ views ---
function show(view) {
  for (const id of ["welcome", "section-view", "file-view"]) $(`#${id}`).hidden = id !== view;
}

function showTab(tab) {
  for (const button of document.querySelectorAll(".sidebar .tab")) {
    button.classList.toggle("active", button.dataset.tab === tab);
  }
  $("#tests-panel").hidden = tab !== "tests";
  $("#files-panel").hidden = tab !== "files";
  if (tab === "tests") tree.schedule();
}

function showSectionTab(view) {
  for (const button of document.querySelectorAll("#section-view .tab")) {
    button.classList.toggle("active", button.dataset.view === view);
  }
  $("#log-view").hidden = view !== "log";
  $("#executions-view").hidden = view !== "executions";
}

let opening = 0;

async function showSection(key) {
  const node = tree.byKey(key);
  if (!node) return show("welcome");
  show("section-view");
  showTab("tests");
  tree.select(key);
  const token = ++opening;
  const section = await api.section(node.id);
  if (token !== opening) return;
  const step = node.step !== null;
  $("#section-title").textContent = step ? section.step_name : section.section_name;
  const facts = [step ? "step" : kindLabel(section.section_type),
    section.start_time && `started ${section.start_time}`, section.run_time && `ran ${section.run_time}`,
    section.source_file && `${section.source_file}${section.source_line ? ":" + section.source_line : ""}`];
  $("#section-facts").replaceChildren(...facts.filter(Boolean).map((f) => el("span", { textContent: f })));
  const badge = $("#section-result");
  badge.textContent = section.result || "no result";
  badge.className = `badge ${resultClass(section.result)}`;
  $("#log-end").disabled = !(parseInt(section.log_size, 10) > 0);
  showSectionTab("log");
  closeExecution();
  logPane.open(section, 0);
  loadExecutions(section);
}

function openFile(path) {
  if (!isViewerFile(path)) {
    showTab("files");
    show("file-view");
  }
  selectFile(`file/${path}`);
  return showFile(path);
}

// ------------------------------------------------------------- deep links ---
function keyFromLocation() {
  return decodeURIComponent(location.pathname.replace(/^\/result\/?/, ""));
}

function route(key) {
  if (key.startsWith("file/")) return openFile(key.slice(5));
  if (key.startsWith("task/")) return showSection(key).catch((error) => {
    show("section-view");
    $("#section-title").textContent = `Could not load the section: ${error.message}`;
  });
  show("welcome");
}

function navigate(key) {
  if (key.startsWith("file/") && isViewerFile(key)) return route(key);  // opens a new tab
  const url = "/result/" + key.split("/").map(encodeURIComponent).join("/");
  if (location.pathname !== url) history.pushState({ key }, "", url);
  route(key);
}

window.addEventListener("popstate", () => route(keyFromLocation()));

async function main() {
  for (const button of document.querySelectorAll(".sidebar .tab")) {
    button.addEventListener("click", () => showTab(button.dataset.tab));
  }
  for (const button of document.querySelectorAll("#section-view .tab")) {
    button.addEventListener("click", () => showSectionTab(button.dataset.view));
  }
  $("#execution-close").addEventListener("click", closeExecution);
  // "/" jumps to the log search, as in many viewers.
  document.addEventListener("keydown", (e) => {
    if (e.key === "/" && !$("#section-view").hidden && document.activeElement?.tagName !== "INPUT") {
      e.preventDefault();
      showSectionTab("log");
      $("#log-search").focus();
    }
  });
  tree.onOpen = navigate;
  const [meta, summary, archive, compact, files] = await Promise.all([
    api.metadata(), api.summary(), api.archiveName(), api.tree(),
    api.fileList().catch(() => ({ results: [] }))]);
  showJob(meta, summary, archive);
  tree.load(compact);
  buildFileTree(files.results, navigate);
  route(keyFromLocation());
  document.body.dataset.ready = "true";
}

// A viewer started with an access token refuses a browser that has not
// opened its tokened address yet.
const ACCESS_HELP = "this viewer lets in only its own user. Open the address that " +
  "'tavix logs view' printed (the one with ?token=), in this browser.";

main().catch((error) => {
  const reason = error.message === "ACCESS_DENIED" ? ACCESS_HELP : error.message;
  $("#suite-name").textContent = `Could not load the run: ${reason}`;
});
