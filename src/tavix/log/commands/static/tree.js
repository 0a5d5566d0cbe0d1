// The test tree: tasks, their sections and steps, from the compact tree
// answer; only the rows in view are in the DOM, so a job of tens of thousands
// of sections costs what is on screen. Enter opens a section, folds a task.
import { resultMark, resultText } from "./dom.js";
import { TreeView } from "./treeview.js";

const KIND = { testscript: "script", commonSetup: "setup", commonCleanup: "cleanup",
  subsection: "subsection", testcase: "testcase", subtest: "subtest", testsection: "section" };

export function kindLabel(type) {
  return KIND[type] || type;
}

// Nodes in tree order from the /tree answer. Task rows come first in their
// task: {type: "task", id: "task/<t>"}; the rest carry the route key
// "task/<t>/section/<seq>[/step/<i>]" that names them in the URL.
export function treeNodes(answer) {
  const nodes = [];
  let row = 0;
  answer.tasks.forEach((task, t) => {
    const taskIndex = nodes.length;
    nodes.push({ key: `task/${t}`, id: `task/${t}`, index: taskIndex, parent: -1, depth: 0, task: t,
      name: task.name, type: "task", result: task.result || "", runTime: task.run_time, seq: null,
      step: null, children: 0 });
    const base = nodes.length - row;  // row index -> node index within this task
    for (const end = row + task.rows; row < end; row++) {
      const [id, parentRow, name, type, result, runTime, seq, step] = answer.rows[row];
      const parent = parentRow < 0 ? taskIndex : parentRow + base;
      const isStep = step !== null;
      const stepDepth = isStep ? String(name).split(" ")[0].split(".").length - 1 : 0;
      const node = { key: isStep ? `task/${t}/section/${seq}/step/${step}` : `task/${t}/section/${seq}`,
        id, index: nodes.length, parent, depth: nodes[parent].depth + 1 + stepDepth, task: t, name,
        type: answer.types[type], result: answer.results[result], runTime, seq, step, children: 0 };
      nodes[parent].children++;
      nodes.push(node);
    }
  });
  return nodes;
}

export class TestTree extends TreeView {
  constructor(viewport, content) {
    super(viewport, content);
    this.ids = new Map();
    this.badges = null;
    this.decorate((element, node) => {
      const badge = this.badges?.get(node.id);
      if (badge !== undefined) element.append(Object.assign(document.createElement("span"), { className: "badge-count", textContent: badge }));
    });
  }

  load(answer) {
    const nodes = treeNodes(answer);
    this.ids = new Map(nodes.map((n) => [n.id, n]));
    this.setNodes(nodes);
  }

  byId(id) { return this.ids.get(id); }

  // Shows only the sections and steps `predicate` keeps, with their ancestors.
  setFilter(predicate) {
    super.setFilter(predicate && ((node) => node.type !== "task" && predicate(node)));
  }

  setBadges(badges) {
    this.badges = badges;
    this.redraw();
  }

  // The key of the next (direction 1) or previous (-1) node after the
  // selected one, in tree order, that `predicate` accepts; null when none.
  step(predicate, direction) {
    const n = this.nodes.length;
    let i = this.selected >= 0 ? this.selected : (direction > 0 ? -1 : n);
    for (i += direction; i >= 0 && i < n; i += direction) {
      const node = this.nodes[i];
      if (node.type !== "task" && predicate(node)) return node.key;
    }
    return null;
  }

  opens(node) {
    return node.type !== "task";
  }

  content(node, element) {
    if (node.type === "task") element.classList.add("task");
    if (node.step !== null) element.classList.add("step");
    element.append(resultMark(node.result));
    super.content(node, element);
    element.append(resultText(node.result));
    const kind = node.type === "step" ? "" : kindLabel(node.type);
    if (kind) element.append(Object.assign(document.createElement("span"), { className: "kind", textContent: kind }));
    if (node.runTime) element.append(Object.assign(document.createElement("span"), { className: "time", textContent: node.runTime }));
  }
}
