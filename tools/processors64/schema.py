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


def check(value, node, where="the record"):
    """Raises RecordError where `value` is not of the format `node` (a name
    of definition() or a schema node)."""
    node = _resolve(definition(node) if isinstance(node, str) else node)
    if "anyOf" in node:
        options = [_resolve(option) for option in node["anyOf"]]
        chosen = next((option for option in options
                       if _types(option) is None or any(_is(value, t) for t in _types(option))),
                      None)
        if chosen is None:
            raise RecordError(f"{where} is {_kind(value)}, not "
                              f"{' or '.join(_KINDS[t] for t in _types(node))}")
        return check(value, chosen, where)
    types = _types(node)
    if types is not None and not any(_is(value, t) for t in types):
        raise RecordError(f"{where} is {_kind(value)}, not "
                          f"{' or '.join(_KINDS[t] for t in types)}")
    if isinstance(value, dict):
        for key in node.get("required", ()):
            if key not in value:
                raise RecordError(f"{where} has no key {key!r}")
        for key, inner in node.get("properties", {}).items():
            if key in value:
                check(value[key], inner, key if where == "the record" else f"{where}.{key}")
    elif isinstance(value, list) and "items" in node:
        for number, item in enumerate(value):
            check(item, node["items"], f"{where}[{number}]")
    elif "minimum" in node and _is(value, "number") and value < node["minimum"]:
        raise RecordError(f"{where} is {value}, less than {node['minimum']}")
