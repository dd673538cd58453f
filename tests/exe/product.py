"""The product version and the executable's name, as CMake wrote them into the
release build folder (build/mingw/product.env, from project(VERSION)), and the
names of the launcher's folders under ProgramData, as launcher/launcher.h
defines them."""

import os
import re

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RELEASE_BUILD = os.path.join(ROOT, "build", "mingw")
PRODUCT_ENV = os.path.join(RELEASE_BUILD, "product.env")


def _read_product_env():
    if not os.path.exists(PRODUCT_ENV):
        raise RuntimeError("%s is missing: run ./build.sh first" % PRODUCT_ENV)
    values = {}
    with open(PRODUCT_ENV, encoding="utf-8") as handle:
        for line in handle:
            line = line.strip()
            if line and not line.startswith("#"):
                key, _, value = line.partition("=")
                values[key] = value
    return values


_VALUES = _read_product_env()
VERSION = _VALUES["ORVELLE_VERSION"]
EXE_NAME = _VALUES["ORVELLE_EXECUTABLE"]
DIST_EXE = os.path.join(ROOT, "dist", EXE_NAME)


def _read_folder_names():
    with open(os.path.join(ROOT, "launcher", "launcher.h"), encoding="utf-8") as handle:
        header = handle.read()
    names = dict(re.findall(r'#define ORVELLE_(\w+)_FOLDER_NAME L"([^"]*)"', header))
    return names["VENDOR"], names["PRODUCT"], names["BOOTSTRAP"]


# ORVELLE, Game Support and Bootstrap, from the outermost in.
VENDOR_FOLDER, PRODUCT_FOLDER, BOOTSTRAP_FOLDER = _read_folder_names()
