// Requests to the team service's own API: the suites and runs of the home
// page, and the lasting links of a run's sections and lines.
import { fetchJSON, RUN } from "./api.js";

const API = "/api/v1";
const RUNS_PAGE = 50;

// A query string of the parameters that have a value.
const query = (params) => new URLSearchParams(
  Object.entries(params).filter(([, value]) => value !== null && value !== undefined && value !== "")).toString();

// A section's path as the service's `path` parameter: names joined by "/",
// a "/" inside a name written "%2F".
const pathParameter = (names) => names.map((name) => name.replaceAll("/", "%2F")).join("/");

export const service = {
  suites: () => fetchJSON(`${API}/suites`),
  // The newest runs of `suite`, those whose request id or start time hold `text` when given.
  runs: (suite, text) => fetchJSON(`${API}/runs?${query({ suite, limit: RUNS_PAGE, text })}`),
  page: (link) => fetchJSON(link),
  // The lasting link of a section of the run shown, or of its line starting at byte `offset`.
  sectionLink: (id, offset = null) => fetchJSON(`${API}/runs/${RUN}/sections?${query({ id, offset })}`),
  // The id of the section of the run shown at `names`, and the offset of its line `line`.
  sectionAt: (names, line = null) => fetchJSON(`${API}/runs/${RUN}/sections?${query({ path: pathParameter(names), line })}`),
};
