"""Every relative link of the README and the reference pages under docs/ leads somewhere: to a file
of the repository and, with an #anchor, to a heading of that page."""
import re

from conftest import ROOT

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def anchors(page):
    """The anchors of a page's headings, as the renderers derive them (fenced code left out)."""
    text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.S | re.M)
    return {re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
            for title in re.findall(r"^#{1,6} (.+)$", text, re.M)}


def test_every_relative_link_leads_to_a_file_and_heading():
    broken, links = [], 0
    for page in PAGES:
        text = re.sub(r"^```.*?^```", "", page.read_text(), flags=re.S | re.M)
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            links += 1
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            if not linked.is_file() or ROOT not in linked.parents:
                broken.append(f"{page.name}: {target} (no such file)")
            elif anchor and anchor not in anchors(linked):
                broken.append(f"{page.name}: {target} (no such heading)")
    assert links > 20 and broken == []


def test_every_page_is_linked_from_the_readme():
    readme = PAGES[0].read_text()
    assert [page.name for page in PAGES[1:] if f"](docs/{page.name})" not in readme] == []
