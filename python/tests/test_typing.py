"""The type stubs describe every public function with the parameters it really takes."""

import ast
import inspect
import os
import unittest

import sela

PACKAGE = os.path.dirname(sela.__file__)


def stub_functions(path):
    with open(path) as f:
        tree = ast.parse(f.read())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = node
        elif isinstance(node, ast.ClassDef):
            out[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return out


def stub_parameters(fn):
    a = fn.args
    return [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]


class Stubs(unittest.TestCase):
    def test_marker_and_stub_files_ship(self):
        for name in ("py.typed", "_sela.pyi"):
            self.assertTrue(os.path.exists(os.path.join(PACKAGE, name)), name)

    def test_every_public_function_is_typed(self):
        stubs = stub_functions(os.path.join(PACKAGE, "_sela.pyi"))
        for name in sela.__all__:
            obj = getattr(sela, name)
            if not callable(obj) or isinstance(obj, type):
                continue
            with self.subTest(name=name):
                if not inspect.isbuiltin(obj):
                    # Pure Python: annotated in place.
                    sig = inspect.signature(obj)
                    self.assertNotEqual(sig.return_annotation, inspect.Signature.empty)
                    for p in sig.parameters.values():
                        self.assertNotEqual(p.annotation, inspect.Parameter.empty, p.name)
                else:
                    self.assertIn(name, stubs)
                    runtime = list(inspect.signature(obj).parameters)
                    self.assertEqual(stub_parameters(stubs[name]), runtime)

    def test_accumulator_methods_are_typed(self):
        stubs = stub_functions(os.path.join(PACKAGE, "_sela.pyi"))["Accumulator"]
        for name, member in vars(sela.Accumulator).items():
            if callable(member) and not name.startswith("__") or name in ("__float__", "__bytes__"):
                self.assertIn(name, stubs, name)


if __name__ == "__main__":
    unittest.main()
