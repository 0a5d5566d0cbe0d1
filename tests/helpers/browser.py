"""The front end in a browser page: opening a view, screenshots, answers made up in the page."""

import os

# Screenshots, for a look at what the tests saw: test-artifacts/ at the top of the tree.
ARTIFACTS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                         "test-artifacts")


def open_view(page, url):
    page.goto(url)
    page.wait_for_selector("body[data-ready=true]")


def shot(page, name):
    os.makedirs(ARTIFACTS, exist_ok=True)
    page.screenshot(path=os.path.join(ARTIFACTS, name))


def answer_commands(page, total):
    """Makes `page` answer its pages of device commands itself, as if the
    section held `total` commands "show command <n>"."""
    def fake_page(route):
        query = dict(pair.split("=") for pair in route.request.url.split("?", 1)[1].split("&"))
        offset, limit = int(query["offset"]), int(query["limit"])
        executions = [{"execute_id": f"id-{i}", "title": f"show command {i}", "execute_type": "execute",
                       "device": "R1", "start_time": "11:53:13"} for i in range(offset, min(total, offset + limit))]
        route.fulfill(json={"total": total, "offset": offset, "executions": executions, "next": None})

    page.route("**/executions?*", fake_page)
