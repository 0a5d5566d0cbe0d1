// The run viewer: job header and summary, task and section tree, section logs
// and device commands, the archive's files. The URL after "/result" names
// what is shown, so links can be shared and a reload restores the view:
//   /result/task/<task>/section/<sequence number>[/step/<index>]
//   /result/file/<path in the archive>
import { api } from "./api.js";
import { LogPane } from "./logpane.js";

const $ = (selector) => document.querySelector(selector);
const el = (tag, props = {}, ...children) => {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children.filter((c) => c !== null && c !== undefined));
  return node;
};

// Result texts ("passed", "failed", "passx", "errored", ...) to colour groups.
export function resultClass(result) {
  const r = String(result || "").toLowerCase();
  if (!r) return "";
  for (const [prefix, group] of [["pass", "pass"], ["fail", "fail"], ["err", "error"],
    ["skip", "skip"], ["block", "block"], ["abort", "abort"]]) {
    if (r.startsWith(prefix)) return `r-${group}`;
  }
  return "r-other";
}

const state = { tasks: [], files: [], selected: null };
const logPane = new LogPane($("#section-view"));

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

// ------------------------------------------------------------- test tree ---
function node(label, { result, time, kind, cls = "", collapsible = false }) {
  const row = el("div", { className: `node ${cls}` },
    el("span", { className: "twisty", textContent: collapsible ? "▾" : "" }),
    el("span", { className: `dot ${resultClass(result)}`, title: result || "" }),
    el("span", { className: "name", textContent: label, title: label }),
    kind ? el("span", { className: "kind", textContent: kind }) : null,
    time ? el("span", { className: "time", textContent: time }) : null);
  return row;
}

function makeCollapsible(li, row, collapsed) {
  li.classList.toggle("collapsed", collapsed);
  row.querySelector(".twisty").textContent = collapsed ? "▸" : "▾";
  row.querySelector(".twisty").addEventListener("click", (e) => {
    e.stopPropagation();
    const now = !li.classList.contains("collapsed");
    li.classList.toggle("collapsed", now);
    row.querySelector(".twisty").textContent = now ? "▸" : "▾";
  });
}

const KIND = { testscript: "script", commonSetup: "setup", commonCleanup: "cleanup",
  subsection: "subsection", testcase: "testcase", subtest: "subtest", testsection: "section" };

function buildTaskTree(tasks) {
  const root = $("#task-tree");
  root.replaceChildren();
  tasks.forEach((task, taskIndex) => {
    const sections = task.sections || [];
    const script = sections[0] || {};
    const taskLi = el("li");
    const taskRow = node(task.meta?.task_id || task.meta?.name || `task ${taskIndex}`,
      { result: script.result, time: script.run_time, kind: "task", cls: "task", collapsible: true });
    taskLi.append(taskRow);
    const childLists = new Map();
    const top = el("ul");
    taskLi.append(top);
    for (const section of sections) {
      const li = el("li");
      const steps = Array.isArray(section.steps) ? section.steps : [];
      const row = node(section.section_name, { result: section.result, time: section.run_time,
        kind: KIND[section.section_type] || section.section_type,
        collapsible: true });
      row.dataset.key = `task/${taskIndex}/section/${section.sequence_number}`;
      row.addEventListener("click", () => navigate(row.dataset.key));
      li.append(row);
      const children = el("ul");
      li.append(children);
      childLists.set(section.id, children);
      steps.forEach((step, index) => {
        const depth = String(step.step_id || "").split(".").length - 1;
        const stepRow = node(`${step.step_id ? step.step_id + " " : ""}${step.step_name}`,
          { result: step.result, time: step.run_time, cls: "step" });
        stepRow.style.paddingLeft = `${6 + 12 * depth}px`;
        stepRow.dataset.key = `${row.dataset.key}/step/${index}`;
        stepRow.addEventListener("click", () => navigate(stepRow.dataset.key));
        children.append(el("li", {}, stepRow));
      });
      const parent = section.parents?.length ? childLists.get(section.parent_id) : null;
      (parent || top).append(li);
      state.index.set(row.dataset.key, { task, section, taskIndex });
      steps.forEach((step, index) => state.index.set(`${row.dataset.key}/step/${index}`,
        { task, section: step, taskIndex, step: true, owner: section }));
    }
    root.append(taskLi);
    makeCollapsible(taskLi, taskRow, false);
  });
  // Sections without children show no twisty; deep subtrees start folded.
  for (const li of root.querySelectorAll("li")) {
    const list = li.querySelector(":scope > ul");
    const row = li.querySelector(":scope > .node");
    if (!list || !list.children.length) {
      if (row && !row.classList.contains("task")) row.querySelector(".twisty").textContent = "";
    } else if (!row.classList.contains("task")) {
      makeCollapsible(li, row, false);
    }
  }
}

// ------------------------------------------------------------- file tree ---
function buildFileTree(entries) {
  const root = $("#file-tree");
  root.replaceChildren();
  // Ids repeat across branches ("1-0" under every top-level folder), so the
  // tree comes from the pre-order walk: an entry's folder is the latest
  // folder one level up.
  const lists = [root];
  entries.forEach((entry, i) => {
    const depth = parseInt(String(entry.id).split("-")[0], 10) || 0;
    const next = entries[i + 1];
    const isDir = next && String(next.parent_id) === String(entry.id) &&
      parseInt(String(next.id).split("-")[0], 10) === depth + 1;
    const name = entry.item_path.split("/").pop();
    const li = el("li");
    const row = node(name, { cls: isDir ? "dir" : "file", collapsible: isDir });
    row.querySelector(".dot").remove();
    if (isDir) {
      const list = el("ul");
      li.append(row, list);
      lists[depth + 1] = list;
      makeCollapsible(li, row, depth > 0);
      row.addEventListener("click", () => row.querySelector(".twisty").click());
    } else {
      row.querySelector(".twisty").textContent = "·";
      row.dataset.key = `file/${entry.item_path}`;
      row.addEventListener("click", () => navigate(row.dataset.key));
      row.append(el("a", { className: "dl", href: api.downloadUrl(entry.item_path), textContent: "download",
        title: "Download", download: name, onclick: (e) => e.stopPropagation() }));
      li.append(row);
    }
    (lists[depth] || root).append(li);
  });
}

// ------------------------------------------------------------------ views ---
function select(key) {
  for (const selected of document.querySelectorAll(".node.selected")) selected.classList.remove("selected");
  const row = [...document.querySelectorAll(".node")].find((n) => n.dataset.key === key);
  if (row) {
    row.classList.add("selected");
    for (let li = row.parentElement.closest("li")?.parentElement.closest("li"); li;
      li = li.parentElement.closest("li")) {
      li.classList.remove("collapsed");
      const twisty = li.querySelector(":scope > .node .twisty");
      if (twisty && twisty.textContent) twisty.textContent = "▾";
    }
    row.scrollIntoView({ block: "nearest" });
  }
}

function show(view) {
  for (const id of ["welcome", "section-view", "file-view"]) $(`#${id}`).hidden = id !== view;
}

function showTab(tab) {
  for (const button of document.querySelectorAll(".sidebar .tab")) {
    button.classList.toggle("active", button.dataset.tab === tab);
  }
  $("#tests-panel").hidden = tab !== "tests";
  $("#files-panel").hidden = tab !== "files";
}

function showSectionTab(view) {
  for (const button of document.querySelectorAll("#section-view .tab")) {
    button.classList.toggle("active", button.dataset.view === view);
  }
  $("#log-view").hidden = view !== "log";
  $("#executions-view").hidden = view !== "executions";
}

async function showSection(key) {
  const found = state.index.get(key);
  if (!found) return show("welcome");
  const { section, step } = found;
  show("section-view");
  showTab("tests");
  select(key);
  $("#section-title").textContent = step ? section.step_name : section.section_name;
  const facts = [step ? "step" : (KIND[section.section_type] || section.section_type),
    section.start_time && `started ${section.start_time}`, section.run_time && `ran ${section.run_time}`,
    section.source_file && `${section.source_file}${section.source_line ? ":" + section.source_line : ""}`];
  $("#section-facts").replaceChildren(...facts.filter(Boolean).map((f) => el("span", { textContent: f })));
  const badge = $("#section-result");
  badge.textContent = section.result || "no result";
  badge.className = `badge ${resultClass(section.result)}`;
  $("#log-end").disabled = !(parseInt(section.log_size, 10) > 0);
  showSectionTab("log");
  $("#execution-log").hidden = true;
  logPane.open(section, 0);
  loadExecutions(section);
}

async function loadExecutions(section) {
  const body = $("#executions-body");
  body.replaceChildren(el("tr", {}, el("td", { colSpan: 4, className: "muted", textContent: "Loading…" })));
  $("#exe-count").textContent = "";
  try {
    const executions = await api.executions(section.id);
    $("#exe-count").textContent = String(executions.length);
    if (!executions.length) {
      body.replaceChildren(el("tr", {}, el("td", { colSpan: 4, className: "muted", textContent: "No device commands in this section." })));
      return;
    }
    body.replaceChildren(...executions.map((exe) => {
      const row = el("tr", {},
        el("td", { textContent: exe.start_time || "" }),
        el("td", { textContent: exe.device }),
        el("td", {}, el("span", { className: `type ${exe.execute_type}`, textContent: exe.execute_type })),
        el("td", { className: "cmd", textContent: exe.title || blockSummary(exe.logs) }));
      row.addEventListener("click", () => {
        for (const other of body.querySelectorAll("tr.selected")) other.classList.remove("selected");
        row.classList.add("selected");
        openExecution(section, exe);
      });
      return row;
    }));
  } catch (error) {
    body.replaceChildren(el("tr", {}, el("td", { colSpan: 4, textContent: `Could not load: ${error.message}` })));
  }
}

// First line of a title-less block, without its record prefix.
function blockSummary(logs) {
  const first = String(logs || "").split("\n")[0];
  const at = first.indexOf("]: ");
  return at >= 0 ? first.slice(at + 3) : first;
}

async function openExecution(section, exe) {
  const panel = $("#execution-log");
  panel.hidden = false;
  $("#execution-title").textContent = `${exe.device} · ${exe.execute_type}${exe.title ? " · " + exe.title : ""}`;
  const pre = $("#execution-lines");
  pre.textContent = "Loading…";
  try {
    const body = await api.executionLog(section.id, exe.execute_id);
    pre.textContent = body.file_content.join("");
  } catch (error) {
    pre.textContent = `Could not load the command's log: ${error.message}`;
  }
}

async function showFile(path) {
  showTab("files");
  select(`file/${path}`);
  if (/\.(html|pdf)$/i.test(path)) {
    window.open(api.viewerUrl(path), "_blank", "noopener");
    return;
  }
  show("file-view");
  $("#file-title").textContent = path;
  $("#file-download").href = api.downloadUrl(path);
  const pre = $("#file-content");
  pre.textContent = "Loading…";
  try {
    const record = await api.fileLines(path);
    pre.textContent = Array.isArray(record.file_content)
      ? record.file_content.join("") : `${record.file_content} Use the download link instead.`;
  } catch (error) {
    pre.textContent = `Could not read the file: ${error.message}`;
  }
}

// ------------------------------------------------------------- deep links ---
function keyFromLocation() {
  const tail = decodeURIComponent(location.pathname.replace(/^\/result\/?/, ""));
  return tail;
}

function route(key) {
  if (key.startsWith("file/")) return showFile(key.slice(5));
  if (key.startsWith("task/")) return showSection(key);
  show("welcome");
}

function navigate(key) {
  if (key.startsWith("file/") && /\.(html|pdf)$/i.test(key)) return route(key);  // opens a new tab
  const url = "/result/" + key.split("/").map(encodeURIComponent).join("/");
  if (location.pathname !== url) history.pushState({ key }, "", url);
  route(key);
}

window.addEventListener("popstate", () => route(keyFromLocation()));

async function main() {
  state.index = new Map();
  for (const button of document.querySelectorAll(".sidebar .tab")) {
    button.addEventListener("click", () => showTab(button.dataset.tab));
  }
  for (const button of document.querySelectorAll("#section-view .tab")) {
    button.addEventListener("click", () => showSectionTab(button.dataset.view));
  }
  $("#execution-close").addEventListener("click", () => { $("#execution-log").hidden = true; });
  // "/" jumps to the log search, as in many viewers.
  document.addEventListener("keydown", (e) => {
    if (e.key === "/" && !$("#section-view").hidden && document.activeElement?.tagName !== "INPUT") {
      e.preventDefault();
      showSectionTab("log");
      $("#log-search").focus();
    }
  });
  const [meta, summary, archive, tasks, files] = await Promise.all([
    api.metadata(), api.summary(), api.archiveName(), api.results(),
    api.fileList().catch(() => ({ results: [] }))]);
  showJob(meta, summary, archive);
  state.tasks = tasks;
  buildTaskTree(tasks);
  buildFileTree(files.results);
  route(keyFromLocation());
  document.body.dataset.ready = "true";
}

main().catch((error) => {
  $("#suite-name").textContent = `Could not load the run: ${error.message}`;
});
