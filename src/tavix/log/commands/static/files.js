// The Files tab: the archive's folders and files, and a text file's view.
// The folders and files are a tree (see treeview.js): Enter opens a file.
// The tree is given its viewport and tree element, the file view its root.
import { api, PREFIX } from "./api.js";
import { el } from "./dom.js";
import { Latest } from "./latest.js";
import { TreeView } from "./treeview.js";

// Nodes in tree order from the file list, which comes in pre-order. Ids
// repeat across branches ("1-0" under every top-level folder), so an entry's
// folder is the latest folder one level up.
export function fileNodes(entries) {
  const nodes = [];
  const folders = [];  // depth -> node index of the latest folder
  entries.forEach((entry, i) => {
    const depth = parseInt(String(entry.id).split("-")[0], 10) || 0;
    const next = entries[i + 1];
    const dir = Boolean(next && String(next.parent_id) === String(entry.id) &&
      parseInt(String(next.id).split("-")[0], 10) === depth + 1);
    const parent = depth > 0 && folders[depth - 1] !== undefined ? folders[depth - 1] : -1;
    const node = { key: `${dir ? "dir" : "file"}/${entry.item_path}`, index: nodes.length, parent,
      depth: parent < 0 ? 0 : nodes[parent].depth + 1, children: 0, dir, path: entry.item_path,
      name: entry.item_path.split("/").pop() };
    if (parent >= 0) nodes[parent].children++;
    if (dir) folders[depth] = node.index;
    nodes.push(node);
  });
  return nodes;
}

export class FileTree extends TreeView {
  // Shows `entries` of the file list, which come in pre-order. Top-level
  // folders start open, deeper ones folded.
  load(entries) {
    const nodes = fileNodes(entries);
    this.setNodes(nodes, nodes.filter((n) => n.dir && n.depth > 0).map((n) => n.index));
  }

  opens(node) {
    return !node.dir;
  }

  content(node, element) {
    element.classList.add(node.dir ? "dir" : "file");
    if (!node.dir) element.querySelector(".twisty").textContent = "·";
    super.content(node, element);
    if (node.dir) return;
    // Out of the tab order: the tree has one tab stop; an opened file has a
    // download button of its own.
    element.append(el("a", { className: "dl", href: api.downloadUrl(node.path), textContent: "download",
      title: "Download", download: node.name, tabIndex: -1, onclick: (e) => e.stopPropagation() }));
  }
}

export const isViewerFile = (path) => /\.(html|pdf)$/i.test(path);

// A text file too big for one answer, paged through the file page route as
// the log pane pages a section: pages are added as the view scrolls towards
// either end, and the farthest are dropped, so a file of gigabytes costs a
// few pages of memory.
const FILE_PAGE = 262144;  // bytes per page
const KEPT_PAGES = 8;

class FilePager {
  constructor(pre, bar, status, top, end, requests) {
    Object.assign(this, { pre, bar, status, requests });
    this.pre.addEventListener("scroll", () => this.onScroll());
    top.addEventListener("click", () => this.open(this.path, this.size, 0));
    end.addEventListener("click", () =>
      this.open(this.path, this.size, Math.max(0, Math.floor((this.size - 1) / FILE_PAGE) * FILE_PAGE)));
  }

  async open(path, size, offset = 0) {
    const request = this.requests.begin();
    Object.assign(this, { path, size, pages: [], previous: null, next: null, loading: false });
    this.bar.hidden = false;
    this.pre.textContent = "Loading…";
    try {
      const page = await request.keep(api.filePage(path, offset, FILE_PAGE));
      this.pages = [{ offset, text: page.file_content || "" }];
      this.previous = page.previous;
      this.next = page.next;
      this.render();
      this.pre.scrollTop = offset > 0 ? this.pre.scrollHeight : 0;
    } catch (error) {
      this.pre.textContent = `Could not read the file: ${error.message}`;
    }
  }

  onScroll() {
    if (this.bar.hidden || this.loading) return;
    const { scrollTop, scrollHeight, clientHeight } = this.pre;
    if (this.next && scrollHeight - scrollTop - clientHeight < 600) this.load("next");
    else if (this.previous && scrollTop < 300) this.load("previous");
  }

  async load(direction) {
    const link = this[direction];
    const request = this.requests.last;
    this.loading = true;
    try {
      const page = await request.keep(api.page(link));
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
      this.status.textContent = `Could not load more: ${error.message}`;
    } finally {
      this.loading = false;  // reached only while current; a newer file starts unloaded
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

// The view of one file of the archive.
export class FileView {
  constructor(root) {
    const part = (id) => root.querySelector(`#${id}`);
    this.title = part("file-title");
    this.download = part("file-download");
    this.pre = part("file-content");
    this.bar = part("file-paging");
    this.requests = new Latest();  // the file shown, and its pages
    this.pager = new FilePager(this.pre, this.bar, part("file-status"), part("file-top"), part("file-end"),
      this.requests);
  }

  // Shows a text file; HTML reports and PDFs open in the archive viewer instead.
  async show(path) {
    if (isViewerFile(path)) {
      window.open(api.viewerUrl(path), "_blank", "noopener");
      return;
    }
    const request = this.requests.begin();
    this.bar.hidden = true;
    this.title.textContent = path;
    this.download.href = api.downloadUrl(path);
    this.pre.textContent = "Loading…";
    try {
      const record = await request.keep(api.fileLines(path));
      if (record.truncated) return this.pager.open(path, record.file_size);
      this.pre.textContent = Array.isArray(record.file_content)
        ? record.file_content.join("") : `${record.file_content} Use the download link instead.`;
    } catch (error) {
      this.pre.textContent = `Could not read the file: ${error.message}`;
    }
  }
}
