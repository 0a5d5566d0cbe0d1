// The sign-in page: the page asked for goes back to /login as `next`. The key
// is posted from the page, so that a refused one is told here; without a
// script the form posts as it is.
const query = new URLSearchParams(location.search);
const form = document.querySelector("form");
const failed = document.getElementById("login-failed");
document.getElementById("next").value = query.get("next") || "/";
failed.hidden = query.get("failed") !== "1";

form.addEventListener("submit", async (event) => {
  event.preventDefault();
  failed.hidden = true;
  const response = await fetch("/login", { method: "POST", body: new URLSearchParams(new FormData(form)) });
  if (response.redirected) {
    location.assign(response.url);
    return;
  }
  failed.textContent = response.status === 401 ? "That key was not accepted: it is unknown or revoked."
    : `Signing in failed (${response.status}).`;
  failed.hidden = false;
});
