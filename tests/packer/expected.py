"""The values the tests expect of the launcher, read from the one place the
C++ tests read them too (tests/support/expected_facts.h), never from the
launcher's own definitions."""
import os
import re

_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "expected_facts.h")


def _read():
    facts = {}
    with open(_HEADER, encoding="utf-8") as f:
        for line in f:
            m = re.match(r'#define EXPECTED_([A-Z_]+) +(L"(?:[^"\\]|\\.)*"|\d+)', line)
            if m:
                value = m.group(2)
                facts[m.group(1)] = (value[2:-1].replace("\\\\", "\\") if value.startswith('L"')
                                     else int(value))
    return facts


_FACTS = _read()
INSTALL_SUFFIX = _FACTS["INSTALL_SUFFIX"]
DOWNLOADER_NAME = _FACTS["DOWNLOADER_NAME"]
PATH_SIZE = _FACTS["PATH_SIZE"]
DEMO_PAYLOAD_TIME = _FACTS["DEMO_PAYLOAD_TIME"]

# What the build hands tools/validate_payload.py, as the tests expect it.
VALIDATOR_OPTIONS = ["--path-size", str(PATH_SIZE), "--install-suffix", INSTALL_SUFFIX,
                     "--downloader", DOWNLOADER_NAME]
