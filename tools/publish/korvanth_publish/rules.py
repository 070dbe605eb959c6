"""The rules file: which group each client file belongs to."""

import os
import re
import shlex
import stat

from .common import GROUPS, MAX_ID_BYTES, Failure, is_safe_relative_path, utf8_len

MAX_RULES_BYTES = 1 << 20
STAR, GLOBSTAR, GLOBSTAR_SLASH = object(), object(), object()
# Python's regular expressions backtrack: a pattern with many wildcards takes
# time exponential in their number on a long name that almost matches. Up to
# this many they are fast and used; above it the automaton below takes over.
MAX_REGEX_WILDCARDS = 2


def pattern_tokens(pattern):
    """`*` matches within one name, `**/` any number of whole folder names,
    `**` anything."""
    tokens, i = [], 0
    while i < len(pattern):
        if pattern.startswith("**/", i):
            tokens.append(GLOBSTAR_SLASH)
            i += 3
        elif pattern.startswith("**", i):
            tokens.append(GLOBSTAR)
            i += 2
        elif pattern[i] == "*":
            tokens.append(STAR)
            i += 1
        else:
            tokens.append(pattern[i])
            i += 1
    return tokens


def pattern_regex(tokens):
    parts = {STAR: "[^/]*", GLOBSTAR: ".*", GLOBSTAR_SLASH: "(?:[^/]+/)*"}
    return re.compile("".join(parts.get(t) or re.escape(t) for t in tokens), re.DOTALL)


def automaton_match(tokens, path):
    """The same language as pattern_regex, in time linear in the path: a set
    of states (token index, inside a `**/` name) advanced one character at a
    time."""
    end = len(tokens)

    def closure(states):
        todo = list(states)
        while todo:
            i, inner = todo.pop()
            if not inner and i < end and not isinstance(tokens[i], str) and (i + 1, 0) not in states:
                states.add((i + 1, 0))
                todo.append((i + 1, 0))
        return states

    states = closure({(0, 0)})
    for c in path:
        nxt = set()
        for i, inner in states:
            if i == end:
                continue
            t = tokens[i]
            if inner:
                nxt.add((i, 0) if c == "/" else (i, 1))
            elif t is GLOBSTAR or (t is STAR and c != "/"):
                nxt.add((i, 0))
            elif t is GLOBSTAR_SLASH and c != "/":
                nxt.add((i, 1))
            elif t == c and isinstance(t, str):
                nxt.add((i + 1, 0))
        states = closure(nxt)
        if not states:
            return False
    return (end, 0) in states


class Rule:
    def __init__(self, where, pattern, group, seed, feature_id):
        self.where, self.pattern, self.group = where, pattern, group
        self.seed, self.id = seed, feature_id
        tokens = pattern_tokens(pattern)
        if sum(not isinstance(t, str) for t in tokens) <= MAX_REGEX_WILDCARDS:
            regex = pattern_regex(tokens)
            self.matches = lambda path: regex.fullmatch(path) is not None
        else:
            self.matches = lambda path: automaton_match(tokens, path)


def read_text(path):
    """The rules file's text; a pipe, a device or a huge file is refused
    before it is read, since reading it could block or fill the memory."""
    try:
        with open(path, "rb", opener=lambda p, flags: os.open(p, flags | os.O_NONBLOCK)) as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise Failure("%s: not a regular file" % path)
            data = f.read(MAX_RULES_BYTES + 1)
        if len(data) > MAX_RULES_BYTES:
            raise Failure("%s: larger than %d bytes; a rules file is a short text"
                          % (path, MAX_RULES_BYTES))
        return data.decode("utf-8")
    except (OSError, UnicodeDecodeError) as e:
        raise Failure("%s: cannot read: %s" % (path, e))


def read_rules(path):
    """Returns (rules, remove paths). Each rule line is
    `PATTERN GROUP [seed] [id=ID]` or `remove PATH`; `#` starts a comment;
    quotes allow spaces in a pattern."""
    rules, removes = [], []
    for number, line in enumerate(read_text(path).splitlines(), 1):
        where = "%s:%d" % (path, number)
        try:
            words = shlex.split(line, comments=True)
        except ValueError as e:
            raise Failure("%s: %s" % (where, e))
        if not words:
            continue
        if words[0] == "remove":
            if len(words) != 2:
                raise Failure("%s: write `remove PATH`" % where)
            if not is_safe_relative_path(words[1]):
                raise Failure("%s: %r is not a path the launcher accepts" % (where, words[1]))
            removes.append(words[1])
            continue
        if len(words) < 2:
            raise Failure("%s: write `PATTERN GROUP [seed] [id=ID]`" % where)
        pattern, group, seed, feature_id = words[0], words[1], 0, ""
        if group not in GROUPS and group != "optional":
            raise Failure("%s: unknown group %r (base, system, interface, stock or optional)"
                          % (where, group))
        for word in words[2:]:
            if word == "seed":
                seed = 1
            elif word.startswith("id="):
                feature_id = word[3:]
                if not feature_id or utf8_len(feature_id) > MAX_ID_BYTES:
                    raise Failure("%s: an id has 1 to %d bytes" % (where, MAX_ID_BYTES))
            else:
                raise Failure("%s: unknown word %r" % (where, word))
        if group == "optional" and not feature_id:
            raise Failure("%s: an optional rule needs id=" % where)
        rules.append(Rule(where, pattern, group, seed, feature_id))
    return rules, removes
