// The team service's home page: every suite with its latest run and trend,
// and the runs of the suite chosen, which the address names (?suite=NAME)
// so that the page can be linked to.
import { $ } from "./dom.js";
import { RunList } from "./runs.js";
import { RunSearch } from "./run_search.js";
import { service } from "./service.js";
import { SuiteList } from "./suites.js";

const suites = new SuiteList($("#suites"));
const runs = new RunList($("#runs"));
const runSearch = new RunSearch($("#run-search"));

const suiteInAddress = () => new URLSearchParams(location.search).get("suite");

function show(name) {
  suites.choose(name);
  runs.show(name);
}

suites.onChoose = (name) => {
  if (name !== suiteInAddress()) history.pushState({}, "", `${location.pathname}?${new URLSearchParams({ suite: name })}`);
  show(name);
};
window.addEventListener("popstate", () => show(suiteInAddress()));

async function main() {
  const answer = await service.suites();
  suites.load(answer.suites);
  runSearch.setSuites(answer.suites.map((suite) => suite.suite_name));
  runSearch.fromAddress();
  $("#home-status").textContent = answer.suites.length ? "" : "No runs stored yet.";
  show(suiteInAddress());
  document.body.dataset.ready = "true";
}

main().catch((error) => {
  $("#home-status").textContent = `Could not list the suites: ${error.message}`;
});
