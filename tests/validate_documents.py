#!/usr/bin/env python3
"""Checks every JSON document that the command-line tests kept against the schema.

  validate_documents.py SCHEMA FOLDER

Each document is checked against the form its command names (an error document
against the error form, a manifest against the manifest's) and against the schema as
a whole, which must take it in exactly one form. Fails when a document does not
match, and when there is no document at all: a check of nothing passes nothing.
"""
import json
import pathlib
import sys

import jsonschema


def form(doc):
    if doc.get("format") == "folvane-manifest":
        return "manifest"
    if doc.get("command") == "verify" and "dump" in doc and "error" not in doc:
        return "verifyDump"
    # A command of two words ("ecc detect") names its form in camel case ("eccDetect").
    words = doc.get("command", "?").split(" ")
    command = words[0] + "".join(w[:1].upper() + w[1:] for w in words[1:])
    return command + ("Error" if "error" in doc else "")


def main(schema_path, folder):
    schema = json.loads(pathlib.Path(schema_path).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    whole = jsonschema.Draft202012Validator(schema)
    documents = sorted(pathlib.Path(folder).glob("*.json"))
    if not documents:
        print(f"no documents in {folder}: the command-line tests keep them there")
        return 1
    bad = 0
    for path in documents:
        doc = json.loads(path.read_bytes())
        name = form(doc)
        if name not in schema["$defs"]:
            print(f"{path.name}: no form {name} in the schema")
            bad += 1
            continue
        one = dict(schema, **{"$ref": f"#/$defs/{name}"})
        del one["oneOf"]
        errors = list(jsonschema.Draft202012Validator(one).iter_errors(doc))
        errors += [] if errors else list(whole.iter_errors(doc))
        for e in errors:
            where = "/".join(str(p) for p in e.absolute_path) or "$"
            print(f"{path.name} ({name}): {where}: {e.message}")
        bad += bool(errors)
    print(f"{len(documents)} documents, {bad} not matching the schema")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
