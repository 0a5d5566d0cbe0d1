// JSON requests to the viewer server.
export const PREFIX = "/private/v1/standalone";

export async function getJSON(path, signal) {
  // Suffixes get the prefix; links handed out by the server already carry it.
  const response = await fetch(path.startsWith(PREFIX) ? path : PREFIX + path, { signal });
  const body = await response.json().catch(() => ({ detail: response.statusText }));
  if (!response.ok) throw new Error(body.detail || response.statusText);
  return body;
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
  viewerUrl: (path) => `/reports/${encodePath(path)}`,
};
