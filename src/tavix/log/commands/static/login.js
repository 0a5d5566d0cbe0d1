// The sign-in page: the page asked for comes back to /login as `next`, and
// a refused key comes back with ?failed=1.
const query = new URLSearchParams(location.search);
document.getElementById("next").value = query.get("next") || "/";
document.getElementById("login-failed").hidden = query.get("failed") !== "1";
