"""Signing in to the team service in Chromium: a page asked for without a
session leads to the sign-in form, a wrong key is told in the page, a right
one comes back to the page first asked for."""
from tavix.log.commands.history import RunIndex, index_url as resolve_url
from tavix.log.commands.service.access import Access

from helpers.access_apps import NEEDS, tiny_app


def test_sign_in_form_and_back_to_the_page(tmp_path, server_thread, page):
    index = RunIndex(resolve_url(str(tmp_path / "index.sqlite")))
    key = index.create_key("ada", "viewer")
    with server_thread(tiny_app(Access("token", index, needs=NEEDS))) as server:
        page.goto(server.url + "/page?x=1")
        assert page.url == server.url + "/login?next=/page?x%3D1"
        page.fill("#key", "tvx_not-a-key")
        page.click("button[type=submit]")
        page.wait_for_selector("#login-failed:not([hidden])")
        assert page.inner_text("#login-failed") == "That key was not accepted: it is unknown or revoked."
        page.fill("#key", key)
        page.click("button[type=submit]")
        page.wait_for_url(server.url + "/page?x=1")
        assert page.inner_text("p") == "ada"
        cookie, = page.context.cookies()
        assert cookie["name"] == "tavix_session" and cookie["httpOnly"] and key not in cookie["value"]
