// The "Device commands" tab of a section: the commands found in its log, and
// the lines of the one opened.
import { api } from "./api.js";
import { $, el } from "./dom.js";

function message(text, cls = "muted") {
  return el("tr", {}, el("td", { colSpan: 4, className: cls, textContent: text }));
}

// First line of a title-less block, without its record prefix.
function blockSummary(logs) {
  const first = String(logs || "").split("\n")[0];
  const at = first.indexOf("]: ");
  return at >= 0 ? first.slice(at + 3) : first;
}

export async function loadExecutions(section) {
  const body = $("#executions-body");
  body.replaceChildren(message("Loading…"));
  $("#exe-count").textContent = "";
  try {
    const executions = await api.executions(section.id);
    $("#exe-count").textContent = String(executions.length);
    if (!executions.length) {
      body.replaceChildren(message("No device commands in this section."));
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
    body.replaceChildren(message(`Could not load: ${error.message}`, ""));
  }
}

async function openExecution(section, exe) {
  $("#execution-log").hidden = false;
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

export function closeExecution() {
  $("#execution-log").hidden = true;
}
