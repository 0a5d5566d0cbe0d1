"""The checked-in type stubs against the modules they describe.

Each stub is generated again from its module and both are reduced to their
outline (names, bases, signatures, annotations; docstrings and formatting
aside), so the test fails when a module's interface changes without its
stub: run scripts/generate-stubs and commit the result.
"""

import ast
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

stubgen = pytest.importorskip("nanobind.stubgen")

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = re.findall(r"^tavix_module\(([\w.]+)\)$", (ROOT / "CMakeLists.txt").read_text(), re.M)


def stub_path(module):
    return ROOT / "src" / (module.replace(".", "/") + ".pyi")


def outline(text):
    """What a type checker sees of a stub, one line per name."""
    lines = []

    def walk(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                bases = ", ".join(ast.unparse(b) for b in node.bases)
                lines.append("class %s%s(%s)" % (prefix, node.name, bases))
                walk(node.body, prefix + node.name + ".")
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                decorators = "".join("@%s " % ast.unparse(d) for d in node.decorator_list)
                returns = ast.unparse(node.returns) if node.returns else ""
                lines.append("%sdef %s%s(%s) -> %s" % (decorators, prefix, node.name,
                                                       ast.unparse(node.args), returns))
            elif isinstance(node, ast.AnnAssign):
                lines.append("%s%s: %s" % (prefix, ast.unparse(node.target), ast.unparse(node.annotation)))
            elif isinstance(node, ast.Assign):
                lines.append("%s%s =" % (prefix, ", ".join(ast.unparse(t) for t in node.targets)))
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                lines.append(ast.unparse(node))

    walk(ast.parse(text).body, "")
    return lines


GENERATE = """
import importlib, json, sys
from nanobind import stubgen
patterns = stubgen.load_pattern_file(sys.argv[1])
texts = {}
for name, path in zip(sys.argv[2::2], sys.argv[3::2]):
    module = importlib.import_module(name)
    generator = stubgen.StubGen(module=module, quiet=True, output_file=path, include_private=True,
                                patterns=patterns)
    generator.put(module)
    texts[name] = generator.get()
print(json.dumps(texts))
"""


@pytest.fixture(scope="module")
def generated():
    """The stubs as scripts/generate-stubs makes them: in a fresh interpreter,
    before anything ran that leaves caches on the modules (__slotnames__,
    __warningregistry__)."""
    arguments = [str(ROOT / "scripts/stub-patterns")]
    for module in MODULES:
        arguments += [module, str(stub_path(module))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", GENERATE, *arguments], env=env, capture_output=True,
                          text=True, timeout=60, check=True)
    return json.loads(done.stdout)


def test_every_module_has_a_valid_stub_and_the_package_is_typed():
    assert len(MODULES) == 9
    for module in MODULES:
        ast.parse(stub_path(module).read_text("utf-8"))  # valid Python, as type checkers need
    assert (ROOT / "src/tavix/py.typed").is_file()


@pytest.mark.parametrize("module", MODULES)
def test_stub_agrees_with_its_module(module, generated):
    checked_in = stub_path(module).read_text("utf-8")
    assert outline(checked_in) == outline(generated[module]), (
        "the stub of %s is out of date: run scripts/generate-stubs" % module)


def test_the_outline_sees_a_changed_signature():
    stub = "class A(B):\n    def run(self, args: object) -> None: ...\n"
    assert outline(stub) != outline(stub.replace("args: object", "args: object, more: int = 0"))
    assert outline(stub) == outline(stub.replace("...", '"""Docs."""'))


def test_signatures_written_by_patterns_keep_the_modules_parameters():
    from tavix.log.commands.archive import Archive

    runtime = Archive.search.__nb_signature__[0][0]
    names = re.findall(r"(\w+): ", runtime.partition("(")[2])
    stub = stub_path("tavix.log.commands.archive").read_text("utf-8")
    overloads = [line for line in outline(stub) if line.startswith("@overload def Archive.search(")]
    assert len(overloads) == 2
    for overload in overloads:
        assert re.findall(r"(\w+): ", overload.partition("(")[2]) != []
        assert sorted(re.findall(r"(\w+): ", overload.partition("(")[2])) == sorted(names)
