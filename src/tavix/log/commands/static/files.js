// The Files tab: the archive's folders and files, and a text file's view.
import { api } from "./api.js";
import { $, el } from "./dom.js";

function row(label, cls) {
  return el("div", { className: `node ${cls}` },
    el("span", { className: "twisty" }),
    el("span", { className: "name", textContent: label, title: label }));
}

function makeCollapsible(li, node, collapsed) {
  const twisty = node.querySelector(".twisty");
  const set = (now) => {
    li.classList.toggle("collapsed", now);
    twisty.textContent = now ? "▸" : "▾";
  };
  set(collapsed);
  twisty.addEventListener("click", (e) => {
    e.stopPropagation();
    set(!li.classList.contains("collapsed"));
  });
}

// `entries` come from the file list in pre-order; `open(key)` navigates.
export function buildFileTree(entries, open) {
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
    const node = row(name, isDir ? "dir" : "file");
    if (isDir) {
      const list = el("ul");
      li.append(node, list);
      lists[depth + 1] = list;
      makeCollapsible(li, node, depth > 0);
      node.addEventListener("click", () => node.querySelector(".twisty").click());
    } else {
      node.querySelector(".twisty").textContent = "·";
      node.dataset.key = `file/${entry.item_path}`;
      node.addEventListener("click", () => open(node.dataset.key));
      node.append(el("a", { className: "dl", href: api.downloadUrl(entry.item_path), textContent: "download",
        title: "Download", download: name, onclick: (e) => e.stopPropagation() }));
      li.append(node);
    }
    (lists[depth] || root).append(li);
  });
}

export function selectFile(key) {
  for (const selected of document.querySelectorAll("#file-tree .node.selected")) selected.classList.remove("selected");
  const node = [...document.querySelectorAll("#file-tree .node")].find((n) => n.dataset.key === key);
  if (!node) return;
  node.classList.add("selected");
  for (let li = node.closest("li")?.parentElement.closest("li"); li; li = li.parentElement.closest("li")) {
    li.classList.remove("collapsed");
    const twisty = li.querySelector(":scope > .node .twisty");
    if (twisty && twisty.textContent) twisty.textContent = "▾";
  }
  node.scrollIntoView({ block: "nearest" });
}

export const isViewerFile = (path) => /\.(html|pdf)$/i.test(path);

// Shows a text file; HTML reports and PDFs open in the archive viewer instead.
export async function showFile(path) {
  if (isViewerFile(path)) {
    window.open(api.viewerUrl(path), "_blank", "noopener");
    return;
  }
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
