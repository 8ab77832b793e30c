"""Reads an HTML page with python's own parser and prints the elements left
open at its end, one per line, innermost first; exits 1 when an end tag does
not match the element it should close."""

import sys
from html.parser import HTMLParser

VOID = {"meta", "br", "img", "hr", "link", "input"}


class Checker(HTMLParser):
    def __init__(self):
        super().__init__()
        self.stack = []
        self.errors = []

    def handle_starttag(self, tag, attrs):
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        pass

    def handle_endtag(self, tag):
        # HTML lets an end tag close table bodies left open inside it.
        while self.stack and self.stack[-1] != tag and self.stack[-1] == "tbody":
            print("implicitly closed: " + self.stack.pop())
        if not self.stack or self.stack[-1] != tag:
            self.errors.append(f"unexpected </{tag}> with open {self.stack}")
            return
        self.stack.pop()


with open(sys.argv[1], "rb") as f:
    page = f.read().decode("cp1252")
checker = Checker()
checker.feed(page)
checker.close()
for tag in reversed(checker.stack):
    print("open at end: " + tag)
for e in checker.errors:
    print(e)
sys.exit(1 if checker.errors else 0)
