// JSON requests to the viewer server.
//
// The team service serves each run's viewer below the run's own path,
// "/runs/<request id>" or "/runs/<request id>/compare/<base request id>":
// that base (its segments encoded as in the address) comes before every path
// of the viewer. `tavix logs view` serves its one run at the root: no base.
const VIEWER_PREFIX = "/private/v1/standalone";
export const BASE = (location.pathname.match(/^\/runs\/[^/]+(?:\/compare\/[^/]+)?/) || [""])[0];
export const PREFIX = BASE + VIEWER_PREFIX;
// The run's request id, as a path segment, under the service; null otherwise.
export const RUN = BASE ? BASE.split("/")[2] : null;

let runGone = () => {};

// `listener()` runs when the service says the run is no longer stored.
export function onRunGone(listener) {
  runGone = listener;
}

// The URL of a request of the viewer: suffixes get the prefix; links handed
// out by the server already carry it, with the run's base (perhaps decoded)
// or without it.
function requestUrl(path) {
  if (path.startsWith(PREFIX) || (BASE && path.startsWith("/runs/"))) return path;
  if (path.startsWith(VIEWER_PREFIX)) return BASE + path;
  return PREFIX + path;
}

// The answer's body read as JSON; a body that is not JSON stands for its status.
// A connection dropped while the body comes is a TypeError, kept as such.
async function answerOf(url, signal) {
  const response = await fetch(url, { signal });
  const body = await response.json().catch((error) => {
    if (error instanceof TypeError) throw error;
    return { detail: response.statusText };
  });
  return { response, body };
}

// Every request here is a GET: one whose connection drops, as when the
// service's replica answering it stops (fetch or reading the body fails with
// a TypeError), is sent once more, and the balancer hands it to another.
async function answerRetried(url, signal) {
  try {
    return await answerOf(url, signal);
  } catch (error) {
    if (!(error instanceof TypeError)) throw error;
    return answerOf(url, signal);
  }
}

// Answers of the viewer and of the service's API alike: the body, or an
// Error whose message is the answer's "detail" code.
export async function fetchJSON(url, signal) {
  const { response, body } = await answerRetried(url, signal);
  if (!response.ok) {
    if (response.status === 404 && body.detail === "RUN_NOT_FOUND") runGone();
    throw new Error(body.detail || response.statusText);
  }
  return body;
}

export function getJSON(path, signal) {
  return fetchJSON(requestUrl(path), signal);
}

// A path below the extraction directory as a URL path, each segment encoded.
export function encodePath(path) {
  return path.split("/").map(encodeURIComponent).join("/");
}

let jobSearchRequest = null;

export const api = {
  metadata: () => getJSON("/metadata"),
  summary: () => getJSON("/summary"),
  results: () => getJSON("/results"),
  tree: () => getJSON("/tree"),
  section: (id) => getJSON(`/sections/${id}`),
  archiveName: () => getJSON("/archive_name"),
  executions: (id) => getJSON(`/sections/${id}/executions`),
  executionLog: (id, exe) => getJSON(`/sections/${id}/${exe}/log`),
  // One page of the device commands, filtered by device and text when given.
  executionsPage: (id, offset, limit, device, q) => getJSON(`/sections/${id}/executions?${new URLSearchParams({
    offset, limit, ...(device ? { device } : {}), ...(q ? { q } : {}) })}`),
  scanStatus: (id) => getJSON(`/sections/${id}/scan`),
  filePage: (path, offset, limit) => getJSON(`/filepage/${encodeURIComponent(path)}?offset=${offset}&limit=${limit}`),
  fileList: () => getJSON("/filelist"),
  // The route variable is one path segment, so "/" travels encoded.
  fileLines: (path) => getJSON(`/filelines/${encodeURIComponent(path)}`),
  page: (link) => getJSON(link),
  search: (id, params) => getJSON(`/sections/${id}/search?${new URLSearchParams(params)}`),
  // A new job search replaces the one still running: the server stops the
  // search whose request goes away.
  jobSearch: (params) => {
    jobSearchRequest?.abort();
    jobSearchRequest = new AbortController();
    return getJSON(`/search?${new URLSearchParams(params)}`, jobSearchRequest.signal);
  },
  categories: () => getJSON("/categories?causes=true"),
  // A log line's message as a search of other runs: {masked, query, command}.
  lineQuery: (text) => getJSON(`/line_query?${new URLSearchParams({ text })}`),
  timeline: () => getJSON("/timeline"),
  histogram: (task) => getJSON(`/timeline/${task}/histogram`),
  // Pages of a section's log come with the severities and header spans of their record lines;
  // the server's links to the neighbouring pages do not carry the flag.
  firstPage: (id, offset, limit) => getJSON(`/sections/${id}/log?offset=${offset}&limit=${limit}&headers=1`),
  logPage: (link) => getJSON(`${link}&headers=1`),
  // The next record line of severity error or worse from a byte offset.
  nextError: (id, offset) => getJSON(`/sections/${id}/next_record?offset=${offset}&severity=3`),
  compare: () => getJSON("/compare"),
  diff: (id, context) => getJSON(`/sections/${id}/diff?context=${context}`),
  // A page of the log of the baseline's section of the same path as section `id`.
  baselinePage: (id, offset, limit) => getJSON(`/sections/${id}/baseline/log?offset=${offset}&limit=${limit}&headers=1`),
  // The routes that take any name: spaces included, reports in any case.
  downloadUrl: (path) => path ? `${PREFIX}/file/${encodePath(path)}` : `${PREFIX}/download`,
  viewerUrl: (path) => `${BASE}/reports/${encodePath(path)}`,
};
