"""A tiny application behind the service's Access: a route of each need, a
page, an open and an unnamed route, and the sign-in routes."""
from aiohttp import web

from tavix.log.commands.service.application import STATIC_DIR
from tavix.log.commands.service.errors import ServiceError
from tavix.log.commands.service.request_keys import USER

NEEDS = {"push": "push", "triage": "triage", "delete": "admin", "healthz": "open", "login": "open",
         "login_page": "open", "static": "open"}
# Route name -> (method, path) of the tiny app.
ROUTES = {"runs": ("GET", "/api/runs"), "push": ("POST", "/api/runs"), "triage": ("POST", "/api/triage"),
          "delete": ("DELETE", "/api/runs/x")}


async def whoami(request):
    user = request[USER]
    return web.json_response({"name": user.name, "role": user.role})


async def page(request):
    return web.Response(text="<p>%s</p>" % request[USER].name, content_type="text/html")


@web.middleware
async def service_errors(request, handler):
    try:
        return await handler(request)
    except ServiceError as error:
        return web.json_response({"detail": error.code, "message": str(error)}, status=error.status)


def tiny_app(access):
    app = web.Application(middlewares=[service_errors, access.middleware])
    for name, (method, path) in ROUTES.items():
        app.router.add_route(method, path, whoami, name=name)
    app.router.add_get("/page", page, name="page")
    app.router.add_get("/healthz", whoami, name="healthz")
    app.router.add_get("/unnamed", whoami)
    app.router.add_post("/login", access.login, name="login")
    app.router.add_get("/login", access.login_page, name="login_page")
    # The sign-in page's script and style, as the service serves them.
    app.router.add_static("/", STATIC_DIR, name="static")
    return app
