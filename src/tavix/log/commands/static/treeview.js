// A foldable tree drawn by the virtual list, by the ARIA tree pattern: rows
// are treeitems with their level, position among their siblings, folding
// and selection; ↑ ↓ Home End move, → unfolds or goes to the first child, ←
// folds or goes to the parent, Enter opens a node (folds one that does not
// open). The test tree and the Files tab are trees of this kind.
//
// Nodes come in tree order as {key, index, parent (node index or -1), depth,
// children (count), name}; a subclass says what a row shows after its name
// (content) and which nodes open (opens).
import { VirtualList } from "./vlist.js";

const ROW = 24;  // px; every row has the same height

export class TreeView {
  // `viewport` scrolls; `content` (role tree) holds the drawn rows.
  constructor(viewport, content) {
    this.nodes = [];
    this.keys = new Map();
    this.onOpen = () => {};       // (key)
    this.collapsed = new Set();   // node indexes
    this.filter = null;           // Uint8Array of kept nodes, or null
    this.selected = -1;
    this.visible = [];            // row -> node index
    this.list = new VirtualList(viewport, content, { rowHeight: ROW, rowRole: "treeitem", overscan: 12,
      render: (row) => this.row(this.nodes[this.visible[row]], row) });
    this.list.onActivate = (row, event) => this.activate(this.nodes[this.visible[row]], event);
    this.list.onKey = (event, row) => this.onKey(event, this.nodes[this.visible[row]]);
  }

  // Shows `nodes`, the ones of `collapsed` (indexes) folded.
  setNodes(nodes, collapsed = []) {
    this.nodes = nodes;
    this.keys = new Map(nodes.map((n) => [n.key, n]));
    this.collapsed = new Set(collapsed);
    this.filter = null;
    this.selected = -1;
    this.layout();
  }

  byKey(key) { return this.keys.get(key); }

  // Adds `decorate(element, node)`, called on every row as it is drawn
  // (after what the tree itself shows); redraw() applies a change at once.
  decorate(decorate) {
    this.list.decorators.push((element, row) => decorate(element, this.nodes[this.visible[row]]));
  }

  redraw() {
    this.list.redraw();
  }

  schedule() {
    this.list.schedule();
  }

  // Moves the focus to the row holding the tab stop.
  focus() {
    this.list.focusRow(this.list.active);
  }

  // Selects the node of `key` (none when unknown), unfolds its ancestors and
  // scrolls it into view.
  select(key) {
    const node = this.keys.get(key);
    this.selected = node ? node.index : -1;
    if (node) {
      for (let p = node.parent; p >= 0; p = this.nodes[p].parent) this.collapsed.delete(p);
      if (this.filter && !this.filter[node.index]) this.setFilter(null);
      this.layout(node.index);
      this.reveal(node.index);
    } else {
      this.redraw();
    }
  }

  // Shows only the nodes `predicate` keeps, with their ancestors unfolded.
  setFilter(predicate) {
    if (!predicate) {
      this.filter = null;
    } else {
      const keep = new Uint8Array(this.nodes.length);
      for (const node of this.nodes) {
        if (!predicate(node)) continue;
        keep[node.index] = 1;
        for (let p = node.parent; p >= 0 && !keep[p]; p = this.nodes[p].parent) {
          keep[p] = 1;
          this.collapsed.delete(p);
        }
      }
      this.filter = keep;
    }
    this.layout(this.selected);
    if (this.selected >= 0 && this.visibleAt(this.selected) >= 0) this.reveal(this.selected);
  }

  get filtered() { return this.filter !== null; }

  foldable(node) {
    return node.children > 0;
  }

  // Whether Enter or a click opens `node` (instead of folding it).
  opens() {
    return true;
  }

  toggle(index) {
    if (this.collapsed.has(index)) this.collapsed.delete(index);
    else this.collapsed.add(index);
    this.layout();
  }

  // ---------------------------------------------------------------- drawing
  // Lays out the rows again; the tab stop goes to node `focus` when it is
  // shown, else stays on its row.
  layout(focus = -1) {
    const visible = [];
    const depths = [];
    const nodes = this.nodes;
    for (let i = 0; i < nodes.length; i++) {
      if (this.filter && !this.filter[i]) continue;
      visible.push(i);
      depths.push(nodes[i].depth);
      // A folded node hides its subtree: in tree order, the deeper nodes
      // right after it.
      if (this.collapsed.has(i)) {
        const depth = nodes[i].depth;
        let j = i + 1;
        while (j < nodes.length && nodes[j].depth > depth) j++;
        i = j - 1;
      }
    }
    this.visible = visible;
    this.position = null;
    this.siblings = siblingPositions(depths);
    const row = focus >= 0 ? this.visibleAt(focus) : -1;
    if (row >= 0) this.list.active = row;
    this.list.setCount(visible.length);
  }

  visibleAt(index) {
    if (!this.position) {
      this.position = new Map();
      this.visible.forEach((nodeIndex, row) => this.position.set(nodeIndex, row));
    }
    return this.position.get(index) ?? -1;
  }

  reveal(index) {
    const row = this.visibleAt(index);
    if (row >= 0) this.list.reveal(row);
  }

  row(node, row) {
    const element = document.createElement("div");
    element.className = `node vrow${node.index === this.selected ? " selected" : ""}`;
    element.dataset.key = node.key;
    element.style.paddingLeft = `${6 + 14 * node.depth}px`;
    element.setAttribute("aria-level", String(node.depth + 1));
    element.setAttribute("aria-selected", String(node.index === this.selected));
    element.setAttribute("aria-posinset", String(this.siblings.position[row]));
    element.setAttribute("aria-setsize", String(this.siblings.size[row]));
    const twisty = document.createElement("span");
    twisty.className = "twisty";
    twisty.setAttribute("aria-hidden", "true");
    if (this.foldable(node)) {
      const folded = this.collapsed.has(node.index);
      twisty.textContent = folded ? "▸" : "▾";
      element.setAttribute("aria-expanded", String(!folded));
    }
    element.append(twisty);
    this.content(node, element);
    return element;
  }

  // Appends what a row of `node` shows after its fold mark.
  content(node, element) {
    const name = document.createElement("span");
    name.className = "name";
    name.textContent = name.title = node.name;
    element.append(name);
  }

  // --------------------------------------------------------------- keyboard
  activate(node, event) {
    if (!this.opens(node) || event.target.classList?.contains("twisty")) {
      if (this.foldable(node)) this.toggle(node.index);
      return;
    }
    this.onOpen(node.key);
  }

  onKey(event, node) {
    const row = this.visibleAt(node.index);
    const folded = this.collapsed.has(node.index);
    if (event.key === "ArrowRight") {
      if (this.foldable(node) && folded) this.toggle(node.index);
      else if (this.nodes[this.visible[row + 1]]?.depth > node.depth) this.list.focusRow(row + 1);
      return true;
    }
    if (event.key === "ArrowLeft") {
      if (this.foldable(node) && !folded) {
        this.toggle(node.index);
      } else {
        const parent = this.visibleAt(node.parent);
        if (parent >= 0) this.list.focusRow(parent);
      }
      return true;
    }
    return false;
  }
}

// aria-posinset and aria-setsize of rows at `depths` in tree order: a row's
// siblings are the rows of its depth until a shallower one.
export function siblingPositions(depths) {
  const n = depths.length;
  const position = new Uint32Array(n);
  const size = new Uint32Array(n);   // first the row's group, then its size
  const sizes = new Uint32Array(n);  // group -> rows in it
  let deepest = 0;
  for (let row = 0; row < n; row++) deepest = Math.max(deepest, depths[row]);
  const open = new Int32Array(deepest + 1).fill(-1);  // depth -> group in progress
  let groups = 0;
  deepest = -1;  // from here: no group is open deeper than this
  for (let row = 0; row < n; row++) {
    const depth = depths[row];
    for (; deepest > depth; deepest--) open[deepest] = -1;
    deepest = depth;
    if (open[depth] < 0) open[depth] = groups++;
    size[row] = open[depth];
    position[row] = ++sizes[open[depth]];
  }
  for (let row = 0; row < n; row++) size[row] = sizes[size[row]];
  return { position, size };
}
