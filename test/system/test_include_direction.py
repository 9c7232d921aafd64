"""The folders' direction of dependency, checked by script/check-includes."""
import os
import subprocess
import sys

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(TOP, "script", "check-includes")


def run(top):
    return subprocess.run([sys.executable, CHECK, top], capture_output=True, text=True, timeout=60)


def test_the_checkout_follows_the_floors():
    result = run(TOP)
    assert result.returncode == 0, result.stdout


def write(top, path, *includes):
    full = top / path
    full.parent.mkdir(parents=True, exist_ok=True)
    full.write_text("".join(f'#include "{i}"\n' for i in includes) + "int x;\n")


@pytest.fixture
def tree(tmp_path):
    write(tmp_path, "support/Loglib.h")
    write(tmp_path, "socket/SockAddr.h", "Loglib.h")
    write(tmp_path, "include/TunnelDataTransport.h", "SockAddr.h")
    write(tmp_path, "include/QuarloIOCPSocket.h", "SockAddr.h")
    write(tmp_path, "quarloinstall/QuarloInstall.cpp", "QuarloIOCPSocket.h", "Loglib.h")
    write(tmp_path, "test/unit/TestSupport.h", "QuarloInstall.cpp")
    write(tmp_path, "test/unit/SomeTest.cpp", "TestSupport.h", "QuarloIOCPSocket.h")
    return tmp_path


@pytest.mark.parametrize("path,include,reported", [
    # down and sideways
    ("support/Owners.h", "Loglib.h", None),
    ("include/Other.cpp", "QuarloIOCPSocket.h", None),
    # the one upward edge the layout allows, and only that header
    ("socket/proxy.cpp", "TunnelDataTransport.h", None),
    ("socket/proxy.cpp", "QuarloIOCPSocket.h", "socket/ may not include include/QuarloIOCPSocket.h"),
    # upward
    ("support/System.cpp", "SockAddr.h", "support/ may not include socket/SockAddr.h"),
    ("browserproxy/ProxyInfo.cpp", "QuarloInstall.cpp",
     "browserproxy/ may not include quarloinstall/QuarloInstall.cpp"),
    # a product file reaching into the tests, or naming a header that is not there
    ("include/HttpRequestor.cpp", "TestSupport.h", '"TestSupport.h" is no product header'),
])
def test_each_include_is_judged_by_the_floors(tree, path, include, reported):
    write(tree, path, include)
    result = run(str(tree))
    if reported is None:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1
        assert f"{path}:1: {reported}" in result.stdout


def test_one_header_name_in_two_folders_is_reported(tree):
    write(tree, "browserproxy/SockAddr.h")
    result = run(str(tree))
    assert result.returncode == 1
    assert "SockAddr.h: one name in two folders" in result.stdout
