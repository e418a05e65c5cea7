"""Sphinx configuration of qor's documentation site, built offline by `make docs`."""

import re
import shutil
from importlib import metadata
from pathlib import Path

DOCS = Path(__file__).resolve().parent

project = "qor"
author = "The qor developers"
copyright = "2026, The qor developers"
release = version = metadata.version("qor")

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.md5", "auto_examples/*.codeobj.json"]
templates_path = ["_templates"]

# The API reference: one page per public name, each listed in its module's __all__.
autosummary_generate = True
autosummary_ignore_module_all = False
autodoc_default_options = {"members": True, "inherited-members": False}
numpydoc_show_class_members = False
numpydoc_validation_checks = set()

# Headings become link targets, so guide pages can link to each other's sections.
myst_heading_anchors = 3

sphinx_gallery_conf = {
    "examples_dirs": str(DOCS.parent / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    # Nothing leaves the machine: no binder, no links to other projects' documentation.
    "reference_url": {"qor": None},
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
}

html_theme = "pydata_sphinx_theme"
html_title = f"qor {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_prev_next": True,
    "secondary_sidebar_items": ["page-toc"],
}
# The reader's system chooses light or dark.
html_context = {"default_mode": "auto"}
html_show_sourcelink = False
html_static_path = []


# A fitted attribute's name ends in an underscore (`n_features_in_`), which reStructuredText
# reads as a link to a target of that name; outside literals it stands for itself here.
TRAILING_UNDERSCORE = re.compile(r"(?<![\w\\])([A-Za-z]\w*?)_(?!\w)")
QUOTED = re.compile(r"(``.*?``|`[^`]*`_{0,2})")


def escape_attribute_names(app, what, name, obj, options, lines):
    for i, line in enumerate(lines):
        parts = QUOTED.split(line)  # text, quoted, text, ...: only the text changes
        parts[::2] = [TRAILING_UNDERSCORE.sub(r"\1\\_", part) for part in parts[::2]]
        lines[i] = "".join(parts)


def skip_metadata_requests(app, what, name, obj, skip, options):
    """scikit-learn's generated set_*_request methods, documented by scikit-learn."""
    return True if re.fullmatch(r"set_\w+_request", name) else None


def copy_tree_pages(app, exception):
    """Each example writes its model's page (qor.export_html) beside itself, as a reader
    running it would; the gallery's page links to it, so it goes beside that page too."""
    if exception is not None or app.builder.name != "html":
        return
    target = Path(app.outdir) / "auto_examples"
    for page in (DOCS.parent / "examples").glob("*.html"):
        shutil.move(page, target / page.name)


def setup(app):
    app.connect("autodoc-process-docstring", escape_attribute_names)
    app.connect("autodoc-skip-member", skip_metadata_requests)
    app.connect("build-finished", copy_tree_pages)
