// The Files tab: the archive's folders and files, and a text file's view.
import { api, PREFIX } from "./api.js";
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

// A text file too big for one answer, paged through the file page route as
// the log pane pages a section: pages are added as the view scrolls towards
// either end, and the farthest are dropped, so a file of gigabytes costs a
// few pages of memory.
const FILE_PAGE = 262144;  // bytes per page
const KEPT_PAGES = 8;

class FilePager {
  constructor() {
    this.pre = $("#file-content");
    this.bar = $("#file-paging");
    this.status = $("#file-status");
    this.token = 0;
    this.pre.addEventListener("scroll", () => this.onScroll());
    $("#file-top").addEventListener("click", () => this.open(this.path, this.size, 0));
    $("#file-end").addEventListener("click", () =>
      this.open(this.path, this.size, Math.max(0, Math.floor((this.size - 1) / FILE_PAGE) * FILE_PAGE)));
  }

  async open(path, size, offset = 0) {
    const token = ++this.token;
    Object.assign(this, { path, size, pages: [], previous: null, next: null, loading: false });
    this.bar.hidden = false;
    this.pre.textContent = "Loading…";
    try {
      const page = await api.filePage(path, offset, FILE_PAGE);
      if (token !== this.token) return;
      this.pages = [{ offset, text: page.file_content || "" }];
      this.previous = page.previous;
      this.next = page.next;
      this.render();
      this.pre.scrollTop = offset > 0 ? this.pre.scrollHeight : 0;
    } catch (error) {
      if (token === this.token) this.pre.textContent = `Could not read the file: ${error.message}`;
    }
  }

  close() {
    ++this.token;
    this.bar.hidden = true;
  }

  onScroll() {
    if (this.bar.hidden || this.loading) return;
    const { scrollTop, scrollHeight, clientHeight } = this.pre;
    if (this.next && scrollHeight - scrollTop - clientHeight < 600) this.load("next");
    else if (this.previous && scrollTop < 300) this.load("previous");
  }

  async load(direction) {
    const link = this[direction];
    const token = this.token;
    this.loading = true;
    try {
      const page = await api.page(link);
      if (token !== this.token) return;
      const offset = Number(new URL(link, location.href).searchParams.get("offset"));
      const added = { offset, text: page.file_content || "" };
      if (direction === "next") {
        this.pages.push(added);
        this.next = page.next;
        this.render();
        if (this.pages.length > KEPT_PAGES) {
          // Dropping the first page must not move the lines in view.
          const height = this.pre.scrollHeight, top = this.pre.scrollTop;
          this.pages.shift();
          this.previous = this.linkTo(this.pages[0].offset - FILE_PAGE);
          this.render();
          this.pre.scrollTop = top - (height - this.pre.scrollHeight);
        }
      } else {
        const height = this.pre.scrollHeight, top = this.pre.scrollTop;
        this.pages.unshift(added);
        this.previous = page.previous;
        this.render();
        this.pre.scrollTop = top + this.pre.scrollHeight - height;
        if (this.pages.length > KEPT_PAGES) {
          this.pages.pop();
          this.next = this.linkTo(this.pages[this.pages.length - 1].offset + FILE_PAGE);
          this.render();
        }
      }
    } catch (error) {
      if (token === this.token) this.status.textContent = `Could not load more: ${error.message}`;
    } finally {
      this.loading = false;
    }
  }

  linkTo(offset) {
    if (offset < 0 || offset >= this.size) return null;
    return `${PREFIX}/filepage/${encodeURIComponent(this.path)}?offset=${offset}&limit=${FILE_PAGE}`;
  }

  render() {
    this.pre.textContent = this.pages.map((page) => page.text).join("");
    this.pre.dataset.pages = String(this.pages.length);
    const first = this.pages[0].offset;
    const last = Math.min(this.size, this.pages[this.pages.length - 1].offset + FILE_PAGE);
    const bytes = (n) => n.toLocaleString();
    this.status.textContent = `bytes ${bytes(first)}–${bytes(last)} of ${bytes(this.size)}` +
      (this.next ? " · scroll down for more" : " · end of file");
  }
}

let pager = null;

// Shows a text file; HTML reports and PDFs open in the archive viewer instead.
export async function showFile(path) {
  if (isViewerFile(path)) {
    window.open(api.viewerUrl(path), "_blank", "noopener");
    return;
  }
  pager ??= new FilePager();
  pager.close();
  $("#file-title").textContent = path;
  $("#file-download").href = api.downloadUrl(path);
  const pre = $("#file-content");
  pre.textContent = "Loading…";
  try {
    const record = await api.fileLines(path);
    if (record.truncated) return pager.open(path, record.file_size);
    pre.textContent = Array.isArray(record.file_content)
      ? record.file_content.join("") : `${record.file_content} Use the download link instead.`;
  } catch (error) {
    pre.textContent = `Could not read the file: ${error.message}`;
  }
}
