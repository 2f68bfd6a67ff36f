"""The formats of the run record, the build record and the node record:
records.schema.json beside this module (JSON Schema, which other programs
can read too), and the check of a record against it.

The check understands the part of JSON Schema the file uses (type,
required, properties, items, minimum, anyOf and local $ref) and names the
first key that is missing or of another type, in a line a person can act
on. Keys the schema does not name are let through.
"""

import functools
import json
import os

SCHEMA_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "records.schema.json")


class RecordError(Exception):
    """A record that is not of its format."""


@functools.lru_cache(maxsize=None)
def schema():
    with open(SCHEMA_FILE, encoding="utf-8") as f:
        return json.load(f)


def definition(name):
    """The schema of one of the formats: "run", or a $defs entry ("build", "node")."""
    return schema() if name == "run" else schema()["$defs"][name]


def keys(name):
    """The keys the format names, in the schema's order."""
    return tuple(definition(name)["properties"])


_KINDS = {"string": "a string", "integer": "an integer", "number": "a number",
          "boolean": "true or false", "object": "an object", "array": "a list", "null": "null"}


def _kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    return {dict: "an object", list: "a list", str: "a string"}.get(type(value), "a number")


def _is(value, type_name):
    if type_name == "null":
        return value is None
    if type_name == "boolean":
        return isinstance(value, bool)
    if isinstance(value, bool):
        return False
    return isinstance(value, {"string": str, "integer": int, "number": (int, float),
                              "object": dict, "array": list}[type_name])


def _resolve(node):
    while "$ref" in node:
        node = definition(node["$ref"].rsplit("/", 1)[-1])
    return node


def _types(node):
    """The types a schema node allows, or None where it says nothing of them."""
    node = _resolve(node)
    if "anyOf" in node:
        found = [_types(option) for option in node["anyOf"]]
        return None if None in found else [t for types in found for t in types]
    kinds = node.get("type")
    return None if kinds is None else [kinds] if isinstance(kinds, str) else kinds


def _wrong(value, types, where):
    return RecordError(f"{where} is {_kind(value)}, not "
                       f"{' or '.join(_KINDS[t] for t in types)}")


def _inner(where, key):
    return key if where == "the record" else f"{where}.{key}"


_PYTHON = {"string": str, "integer": int, "number": (int, float), "boolean": bool,
           "object": dict, "array": list, "null": type(None)}


def _test_of(types):
    """A quick test of whether a value is of one of `types` (JSON's: a
    boolean is no number)."""
    if types is None:
        return lambda value: True
    python = tuple(kind for t in types for kind in (
        _PYTHON[t] if isinstance(_PYTHON[t], tuple) else (_PYTHON[t],)))
    no_bool = "boolean" not in types

    def test(value):
        return isinstance(value, python) and not (no_bool and type(value) is bool)
    return test


@functools.lru_cache(maxsize=None)
def _checker(name, path=()):
    """The check of the schema node at `path` within definition `name`,
    made once: a function of (value, where) that raises RecordError."""
    node = definition(name)
    for step in path:
        node = node[step]
    if "$ref" in node:
        return _checker(node["$ref"].rsplit("/", 1)[-1])
    if "anyOf" in node:
        options = [(_test_of(_types(option)), _checker(name, path + ("anyOf", n)))
                   for n, option in enumerate(node["anyOf"])]
        every = _types(node)

        def check_any(value, where):
            for fits, check_one in options:
                if fits(value):
                    return check_one(value, where)
            raise _wrong(value, every, where)
        return check_any
    types = _types(node)
    fits = _test_of(types)
    required = tuple(node.get("required", ()))
    properties = [(key, _checker(name, path + ("properties", key)))
                  for key in node.get("properties", {})]
    items = node.get("items")
    check_item = _checker(name, path + ("items",)) if items is not None else None
    plain_strings = items is not None and _resolve(items) == {"type": "string"}
    minimum = node.get("minimum")
    # An object of plain values only (a node record): each key checked in
    # one loop, the thousands of node records of a window quickly.
    plain = {key: _test_of(_types(inner)) for key, inner in node.get("properties", {}).items()
             if set(_resolve(inner)) <= {"type", "description"}}
    flat = bool(plain) and len(plain) == len(properties)

    def check_node(value, where):
        if flat and type(value) is dict:
            for key in required:
                if key not in value:
                    raise RecordError(f"{where} has no key {key!r}")
            for key, item in value.items():
                fits_key = plain.get(key)
                if fits_key is not None and not fits_key(item):
                    dict(properties)[key](item, _inner(where, key))  # words the error
            return
        if not fits(value):
            raise _wrong(value, types, where)
        if type(value) is dict:
            for key in required:
                if key not in value:
                    raise RecordError(f"{where} has no key {key!r}")
            for key, check_one in properties:
                if key in value:
                    check_one(value[key], _inner(where, key))
        elif type(value) is list and check_item is not None:
            if plain_strings:
                try:
                    "".join(value)  # a long list of names, checked at once
                    return
                except TypeError:
                    pass  # not all strings: the loop below names the first that is not
            for number, item in enumerate(value):
                check_item(item, f"{where}[{number}]")
        elif minimum is not None and _is(value, "number") and value < minimum:
            raise RecordError(f"{where} is {value}, less than {minimum}")
    return check_node


def check(value, name, where="the record"):
    """Raises RecordError where `value` is not of the format `name` ("run",
    or a $defs entry such as "build" or "node")."""
    _checker(name)(value, where)
