"""Checks for the generated alphanumeric table and its C++ lookup header.

The extension is not needed: the .inc is parsed directly, and alnum.hpp is
compiled into a throwaway program.
"""

import os
import re
import runpy
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GEN = ROOT / "tools" / "gen_alnum_table.py"
INC = ROOT / "src" / "support" / "alnum_table.inc"
HPP_DIR = ROOT / "src" / "support"
UCD = Path("/usr/share/unicode")

ASCII_ALNUM = [(0x30, 0x39), (0x41, 0x5A), (0x61, 0x7A)]


def load_gen():
    return runpy.run_path(str(GEN))


def parse_inc(text):
    return [(int(a, 16), int(b, 16))
            for a, b in re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\},", text)]


@pytest.fixture(scope="module")
def ranges():
    r = parse_inc(INC.read_text(encoding="utf-8"))
    assert len(r) > 500
    return r


def contains(ranges, cp):
    return any(lo <= cp <= hi for lo, hi in ASCII_ALNUM + ranges)


def test_header_names_generator_and_version():
    head = INC.read_text(encoding="utf-8").splitlines()[:3]
    assert any("tools/gen_alnum_table.py" in line for line in head)
    assert any(re.search(r"Unicode \d+\.\d+\.\d+", line) for line in head)


def test_ranges_sorted_disjoint_coalesced(ranges):
    for lo, hi in ranges:
        assert 0x80 <= lo <= hi <= 0x10FFFF
    for (_, prev_hi), (lo, _) in zip(ranges, ranges[1:]):
        # A gap of at least one code point, else they should have merged.
        assert lo > prev_hi + 1


@pytest.mark.parametrize("cp,expected", [
    (0x00E9, True),    # é
    (0x0345, True),    # combining ypogegrammeni, Other_Alphabetic
    (0x093E, True),    # Devanagari vowel sign AA (Mc)
    (0x24B6, True),    # circled A (So, but Alphabetic)
    (0x24E9, True),    # circled z
    (0x2160, True),    # Roman numeral one (Nl)
    (0x00B2, True),    # superscript two (No)
    (0x0660, True),    # Arabic-Indic zero (Nd)
    (0x4E00, True),    # start of a First/Last block
    (0x9FFF, True),    # end of it
    (0x1D400, True),   # mathematical bold A
    (0x0030, True), (0x005A, True), (0x0061, True),
    (0x002D, False),   # -
    (0x002E, False),   # .
    (0x005F, False),   # _ is handled by callers, not the table
    (0x0020, False),   # space
    (0x0300, False),   # combining grave, Mn but not Alphabetic
    (0x00D7, False),   # multiplication sign
    (0x00A0, False),   # no-break space
    (0xE000, False),   # private use
    (0x1F600, False),  # emoji
])
def test_membership(ranges, cp, expected):
    assert contains(ranges, cp) is expected


def test_generator_handles_blocks_and_merges(tmp_path):
    (tmp_path / "DerivedCoreProperties.txt").write_text(
        "# DerivedCoreProperties-9.8.7.txt\n"
        "0041..005A    ; Alphabetic # L\n"
        "00C0..00C5    ; Alphabetic # L\n"
        "00C6          ; Alphabetic # L\n"
        "00C8          ; Lowercase # not ours\n",
        encoding="utf-8")
    (tmp_path / "UnicodeData.txt").write_text(
        "0030;DIGIT ZERO;Nd;0;EN;;0;0;0;N;;;;;\n"
        "00B2;SUPERSCRIPT TWO;No;0;EN;<super> 0032;;2;2;N;;;;;\n"
        "00C7;X;Lu;0;L;;;;;N;;;;;\n"
        "2160;ROMAN NUMERAL ONE;Nl;0;L;<compat> 0049;;;1;N;;;;;\n"
        "3400;<Fake Block, First>;Nl;0;L;;;;;N;;;;;\n"
        "3410;<Fake Block, Last>;Nl;0;L;;;;;N;;;;;\n"
        "4000;<Other Block, First>;Lo;0;L;;;;;N;;;;;\n"
        "4010;<Other Block, Last>;Lo;0;L;;;;;N;;;;;\n",
        encoding="utf-8")
    version, high, low = load_gen()["build"](str(tmp_path))
    assert version == "9.8.7"
    assert low == [(0x30, 0x30), (0x41, 0x5A)]
    assert high == [(0xB2, 0xB2), (0xC0, 0xC6), (0x2160, 0x2160), (0x3400, 0x3410)]


@pytest.mark.skipif(not (UCD / "DerivedCoreProperties.txt").exists()
                    or not (UCD / "UnicodeData.txt").exists(),
                    reason="Unicode data not installed (apt-get install unicode-data)")
def test_regenerating_reproduces_committed_file(tmp_path):
    out = tmp_path / "alnum_table.inc"
    load_gen()["main"]([str(UCD), "-o", str(out)])
    assert out.read_bytes() == INC.read_bytes()


CPP = r"""
#include "alnum.hpp"
#include <cstdio>
int main(int argc, char** argv) {
    // Every code point the lookup accepts, as inclusive ranges.
    long start = -1;
    for (long c = 0; c <= 0x110000; ++c) {
        bool in = c < 0x110000 && kestu::is_path_alnum(static_cast<char32_t>(c));
        if (in && start < 0) start = c;
        if (!in && start >= 0) { std::printf("%lx %lx\n", start, c - 1); start = -1; }
    }
    std::printf("--\n");
    for (int i = 1; i < argc; ++i) std::printf("%d\n", kestu::is_path_word(argv[i]) ? 1 : 0);
}
"""

WORDS = {
    "été": True, "a-b": False, "x.y": False, "": True, "_a1": True,
    "ⓐ": True, "-1": False, "a\u0300": False, "\u0915\u093e": True,
    "𝐀1": True, "a😀": False, "Ⅻ_²": True, "a b": False,
}


@pytest.fixture(scope="module")
def cpp_output(tmp_path_factory):
    gxx = shutil.which("g++")
    if gxx is None:
        pytest.skip("g++ not available")
    d = tmp_path_factory.mktemp("alnum_cpp")
    (d / "main.cpp").write_text(CPP, encoding="utf-8")
    exe = d / "main"
    subprocess.run([gxx, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-O2",
                    "-I", str(HPP_DIR), str(d / "main.cpp"), "-o", str(exe)],
                   check=True, capture_output=True, text=True)
    res = subprocess.run([str(exe)] + [os.fsencode(w) for w in WORDS],
                         check=True, capture_output=True, text=True)
    scan, words = res.stdout.split("--\n")
    got_ranges = [tuple(int(x, 16) for x in line.split()) for line in scan.splitlines()]
    return got_ranges, [line == "1" for line in words.splitlines()]


def test_cpp_lookup_matches_table(cpp_output, ranges):
    assert cpp_output[0] == ASCII_ALNUM + ranges


def test_cpp_is_path_word(cpp_output):
    assert dict(zip(WORDS, cpp_output[1])) == WORDS
