#!/usr/bin/env python3
"""Every log format of the tree ends its line.

The logging call (log_message) writes its format as it stands, so a format
without "\\n" runs into the next line of the log. This reads the C++ sources
of the tree and collects the formats the calls are given:

- a format written at the call as string literals;
- a format that the call takes from a parameter of the function around it:
  the literal arguments that calls of that function give in that place;
- a format that the call takes from a member of a table of texts (a struct
  of "const char*" members, such as the forwarding messages of the handlers):
  that member's literal in every initialiser of the struct, named or given as
  a brace list to a function that takes the struct.

It fails, naming file and line, for any format that does not end in "\\n",
and when it finds fewer formats than the tree surely holds. A format it cannot
trace is counted only.

    log_line_ends.py SOURCE_ROOT
"""

import os
import re
import sys

SKIPPED_FOLDERS = {".git", "node_modules"}
KEYWORDS = {"if", "for", "while", "switch", "catch"}
# A named lambda: auto name = [captures](parameters) {
LAMBDA = re.compile(r"auto\s+(\w+)\s*=\s*\[[^\]]*\]\s*\(([^()]*)\)\s*(?:->\s*[\w:]+\s*)?\{")
HEADER = re.compile(r"(\w+)\s*\(([^;{}()]*(?:\([^()]*\)[^;{}()]*)*)\)\s*(?:const\s*)?"
                    r"(?:override\s*)?(?:noexcept\s*)?\{")


def sources(root):
    for folder, folders, names in os.walk(root):
        folders[:] = sorted(f for f in folders
                            if f not in SKIPPED_FOLDERS and not f.startswith("build"))
        for name in sorted(names):
            if name.endswith((".cpp", ".h", ".cc")):
                yield os.path.join(folder, name)


def blank_comments(text):
    """The text with comments turned into spaces (line breaks kept); literals untouched."""
    out = []
    i = 0
    n = len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif text.startswith('R"', i) and not (i and (text[i - 1].isalnum() or
                                                       text[i - 1] == "_")):
            open_at = text.find("(", i)
            delimiter = text[i + 2:open_at]
            end = text.find(")" + delimiter + '"', open_at)
            end = n if end < 0 else end + len(delimiter) + 2
            out.append(text[i:end])
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def closing(text, start):
    """The index just after the bracket that closes the one before start."""
    depth = 1
    i = start
    while i < len(text) and depth:
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i = j
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        i += 1
    return i


def split_arguments(text):
    """The top-level comma-separated pieces of an argument list."""
    pieces, depth, current, i = [], 0, [], 0
    while i < len(text):
        c = text[i]
        if c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            current.append(text[i:j + 1])
            i = j + 1
            continue
        if c in "([{<" and not (c == "<" and depth == 0 and text[i + 1:i + 2] in " ="):
            depth += 1
        elif c in ")]}>" and depth:
            depth -= 1
        if c == "," and depth == 0:
            pieces.append("".join(current).strip())
            current = []
        else:
            current.append(c)
        i += 1
    if current or pieces:
        pieces.append("".join(current).strip())
    return pieces


LITERAL = re.compile(r'^(?:(?:u8|L|u|U)?"(?:[^"\\]|\\.)*"\s*)+$', re.S)


def literal_value(piece):
    """The source text of a string literal argument (adjacent pieces joined), else None."""
    if not LITERAL.match(piece):
        return None
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', piece))


def line_of(text, at):
    return text.count("\n", 0, at) + 1


class Scan:
    def __init__(self, root):
        self.root = root
        self.texts = {}
        for path in sources(root):
            with open(path, encoding="utf-8", errors="replace") as f:
                self.texts[path] = blank_comments(f.read())
        self.formats = []  # (path, line, format source text)
        self.untraced = 0

    def calls(self, name):
        """(path, offset of the call, its arguments) of every call of name."""
        pattern = re.compile(r"(?<![\w.>:])" + re.escape(name) + r"\s*\(")
        for path, text in self.texts.items():
            for m in pattern.finditer(text):
                end = closing(text, m.end())
                yield path, m.start(), split_arguments(text[m.end():end - 1])

    def enclosing_parameter(self, text, at, name):
        """(function name, index, type word) of the parameter name of the function around at."""
        around = [m for pattern in (HEADER, LAMBDA) for m in pattern.finditer(text, 0, at)
                  if closing(text, m.end()) > at]
        around.sort(key=lambda m: m.start())
        for m in reversed(around):  # the innermost first: loops, then the function
            if m.group(1) in KEYWORDS and m.group(1) != "for":
                continue
            parameters = m.group(2)
            if m.group(1) == "for":  # a range-for declares one variable before its " : "
                parameters = re.split(r"(?<!:):(?!:)", parameters)[0]
            for index, parameter in enumerate(split_arguments(parameters)):
                words = re.findall(r"\w+", parameter.split("=")[0])
                if words and words[-1] == name:
                    if m.group(1) in KEYWORDS:  # a range-for's variable
                        return None, None, words[-2] if len(words) > 1 else ""
                    return m.group(1), index, words[-2] if len(words) > 1 else ""
        return None

    def run(self):
        for path, at, arguments in list(self.calls("log_message")):
            if len(arguments) < 2 or arguments[1].startswith("const char*"):
                continue  # the logging call's own declaration
            text = self.texts[path]
            value = literal_value(arguments[1])
            if value is not None:
                self.formats.append((path, line_of(text, at), value))
                continue
            if re.fullmatch(r"\w+", arguments[1]):
                self.trace_parameter(path, at, arguments[1])
            elif re.fullmatch(r"\w+\.\w+", arguments[1]):
                self.trace_member(path, at, *arguments[1].split("."))
            else:
                self.untraced += 1
        return self

    def trace_parameter(self, path, at, name):
        text = self.texts[path]
        found = self.enclosing_parameter(text, at, name)
        if not found:
            # A variable given its text before the call: the last such assignment.
            assignment = re.compile(r"\b" + re.escape(name) +
                                    r"\s*(?:\[\])?\s*=\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+)")
            given = [m for m in assignment.finditer(text, 0, at)]
            if given:
                self.formats.append((path, line_of(text, given[-1].start()),
                                     literal_value(given[-1].group(1))))
            else:
                self.untraced += 1
            return
        function, index, _ = found
        if function is None:
            self.untraced += 1
            return
        traced = False
        # A helper called in its own file (beside its definition, which matches too) is that
        # file's, as names such as "fail" recur; any other is looked for everywhere.
        calls = list(self.calls(function))
        here = [c for c in calls if c[0] == path]
        for call_path, call_at, arguments in (here if len(here) > 1 else calls):
            if index < len(arguments):
                value = literal_value(arguments[index])
                if value is not None:
                    line = line_of(self.texts[call_path], call_at)
                    self.formats.append((call_path, line, value))
                    traced = True
        if not traced:
            self.untraced += 1

    def variable_type(self, path, at, name):
        """The type word of a parameter or a member (of the class's header) named name."""
        found = self.enclosing_parameter(self.texts[path], at, name)
        if found:
            return found[2]
        stem = os.path.splitext(path)[0]
        for other in (path, stem + ".h"):
            declared = r"(\w+)\s*[&*]?\s*\b" + re.escape(name) + r"\s*;"
            m = re.search(declared, self.texts.get(other, ""))
            if m:
                return m.group(1)
        return None

    def struct_members(self, kind, path):
        """The member names of struct kind, as the file at path (else any file) defines it."""
        for text in [self.texts[path]] + list(self.texts.values()):
            m = re.search(r"\bstruct\s+" + re.escape(kind) + r"\s*\{", text)
            if m:
                body = text[m.end():closing(text, m.end()) - 1]
                return [re.findall(r"\w+", d.split("=")[0])[-1]
                        for d in body.split(";") if re.findall(r"\w+", d)]
        return None

    def initialisers(self, kind):
        """(path, offset, brace-list text) of every initialiser of the struct kind."""
        named = re.compile(r"\b" + re.escape(kind) + r"\s+\w+\s*(\[\w*\]\s*)?(?:=\s*)?\{")
        inline = re.compile(r"\bstruct\s+" + re.escape(kind) + r"\s*\{")
        takers = []
        for path, text in self.texts.items():
            for m in named.finditer(text):
                body = text[m.end():closing(text, m.end()) - 1]
                if not m.group(1):
                    yield path, m.start(), body
                    continue
                for element in split_arguments(body):  # an array: one per element
                    if element.startswith("{"):
                        yield path, m.start(), element[1:-1]
            for m in inline.finditer(text):  # struct kind {...} name[] = {...};
                after = closing(text, m.end())
                tail = re.match(r"\s*\w+\s*\[\w*\]\s*=\s*\{", text[after:])
                if tail:
                    start = after + tail.end()
                    for element in split_arguments(text[start:closing(text, start) - 1]):
                        if element.startswith("{"):
                            yield path, m.start(), element[1:-1]
            for m in HEADER.finditer(text):
                for index, parameter in enumerate(split_arguments(m.group(2))):
                    words = re.findall(r"\w+", parameter.split("=")[0])
                    if len(words) > 1 and words[-2] == kind:
                        takers.append((m.group(1), index))
        for function, index in set(takers):
            for path, at, arguments in self.calls(function):
                if index < len(arguments) and arguments[index].startswith("{"):
                    yield path, at, arguments[index][1:-1]

    def trace_member(self, path, at, name, member):
        kind = self.variable_type(path, at, name)
        members = self.struct_members(kind, path) if kind else None
        if not members or member not in members:
            self.untraced += 1
            return
        position = members.index(member)
        traced = False
        for where, offset, body in self.initialisers(kind):
            pieces = split_arguments(body)
            value = literal_value(pieces[position]) if position < len(pieces) else None
            if value is not None:
                self.formats.append((where, line_of(self.texts[where], offset), value))
                traced = True
        if not traced:
            self.untraced += 1


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    scan = Scan(root).run()
    unique = sorted(set(scan.formats))
    missing = [f for f in unique if not f[2].endswith("\\n")]
    for path, line, value in missing:
        print("%s:%d: no line end: \"%s\"" % (os.path.relpath(path, root), line, value))
    print("%d log formats read in %d files (%d not traced to a text); %d without a line end"
          % (len(unique), len(scan.texts), scan.untraced, len(missing)))
    return 1 if missing or len(unique) < 500 else 0


if __name__ == "__main__":
    sys.exit(main())
