"""Where pages come from: the front-end kit shipped with the package, the
bundle folder `Vesk.upload` publishes into, and a page's address with the
bridge's port and token."""

from __future__ import annotations

import os
import pathlib
import shutil
import urllib.parse
from typing import Optional, Union

import Vesk


def frontend_folder() -> pathlib.Path:
    """The browser half shipped with the package: the client kit
    (vesk-client.js, package.json) and the reference page (dist/)."""
    here = pathlib.Path(__file__).resolve().parent.parent
    for folder in (here / "frontend", here.parent / "frontend"):  # installed; a source checkout
        if (folder / "dist" / "index.html").is_file():
            return folder
    raise FileNotFoundError(f"the front-end kit is missing: neither {here / 'frontend'} nor {here.parent / 'frontend'}")


def bundle_folder() -> pathlib.Path:
    """The folder `Vesk.upload` publishes into: `dist` beside the module's folder."""
    return pathlib.Path(os.path.abspath(Vesk.__file__)).parent.parent / "dist"


def install_reference_page(bundle: Union[str, "os.PathLike[str]", None] = None) -> pathlib.Path:
    """Copies the reference page (index.html and assets/) into the bundle
    folder, replacing assets/ whole; returns the page's index.html."""
    target = pathlib.Path(bundle) if bundle is not None else bundle_folder()
    source = frontend_folder() / "dist"
    target.mkdir(parents=True, exist_ok=True)
    shutil.copy2(source / "index.html", target / "index.html")
    if (target / "assets").is_dir():
        shutil.rmtree(target / "assets")
    shutil.copytree(source / "assets", target / "assets")
    return target / "index.html"


def default_page() -> pathlib.Path:
    """The bundle folder's index.html, where the reference page is installed
    when it has none."""
    index = bundle_folder() / "index.html"
    return index if index.is_file() else install_reference_page()


def page_url(page: Union[str, "os.PathLike[str]"], port: int, token: Optional[str] = None) -> str:
    """`page` (a URL or a file path) with `port` and `token` added to its query."""
    text = os.fspath(page)
    parts = urllib.parse.urlsplit(text)
    if len(parts.scheme) < 2:  # a path (a drive letter counts as one)
        parts = urllib.parse.urlsplit(pathlib.Path(text).resolve().as_uri())
    query = [(k, v) for k, v in urllib.parse.parse_qsl(parts.query, keep_blank_values=True) if k not in ("port", "token")]
    query.append(("port", str(port)))
    if token is not None:
        query.append(("token", token))
    return urllib.parse.urlunsplit(parts._replace(query=urllib.parse.urlencode(query)))
