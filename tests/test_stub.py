import ast
import inspect
import pathlib

import pynorvane


def stub_classes():
    stub = pathlib.Path(pynorvane.__file__).with_name("pynorvane.pyi")
    tree = ast.parse(stub.read_text())
    return {
        node.name: {item.name: item for item in node.body if isinstance(item, ast.FunctionDef)}
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }


def test_stub_is_installed_and_matches_the_module():
    classes = stub_classes()
    public = {name for name in dir(pynorvane) if not name.startswith("_")}
    assert set(classes) == public
    for name, methods in classes.items():
        runtime = {m for m in vars(getattr(pynorvane, name)) if not m.startswith("_")}
        assert set(methods) - {"__init__"} == runtime, name
        for method, node in methods.items():
            # pybind11 renders the parameter names into the first docstring line
            doc = inspect.getdoc(getattr(getattr(pynorvane, name), method)) or ""
            for arg in node.args.args[1:] + node.args.posonlyargs[1:]:
                assert f"{arg.arg}: " in doc, (name, method, arg.arg)
