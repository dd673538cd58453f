"""The product version and the names of the executable and the scripts, as
CMake wrote them into the release build folder (build/mingw/product.env, from
the setup script's version line), and the names of the launcher's folders under ProgramData and the
set-aside mark, as the build generated them from the setup script
(build/mingw/generated/shared_names.h) and launcher/launcher.h defines the
rest."""

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
# The detection script for deployment tools, made from the setup script.
DIST_DETECTION = os.path.join(ROOT, "dist", _VALUES["ORVELLE_DETECTION_SCRIPT"])
# The setup script as the build put it together from its parts: what the
# executable embeds.
DIST_SCRIPT = os.path.join(ROOT, "dist", _VALUES["ORVELLE_SETUP_SCRIPT"])


def _read_wide_defines():
    defines = {}
    for header in (os.path.join(RELEASE_BUILD, "generated", "shared_names.h"),
                   os.path.join(ROOT, "launcher", "launcher.h")):
        with open(header, encoding="utf-8") as handle:
            defines.update(re.findall(r'#define ORVELLE_(\w+) L"([^"]*)"', handle.read()))
    return defines


_DEFINES = _read_wide_defines()
# ORVELLE, Game Support and Bootstrap, from the outermost in.
VENDOR_FOLDER = _DEFINES["VENDOR_FOLDER_NAME"]
PRODUCT_FOLDER = _DEFINES["PRODUCT_FOLDER_NAME"]
BOOTSTRAP_FOLDER = _DEFINES["BOOTSTRAP_FOLDER_NAME"]
# The mark between a folder's name and the time in its set-aside name.
SET_ASIDE_MARK = _DEFINES["SET_ASIDE_MARK"]
