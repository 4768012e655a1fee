#!/usr/bin/env python3
"""Turns a message source (.mc) into the C++ message table of a POSIX message
module: the table that FormatMessageA reads from a module loaded with
LoadLibraryA. Windows builds the same source with windmc and windres.

Usage: mc_to_table.py <source.mc> <output.cpp>
"""
import re
import sys

DEFAULT_SEVERITIES = {"Success": 0x0, "Informational": 0x1, "Warning": 0x2, "Error": 0x3}
DEFAULT_LANGUAGES = {"English": 0x409}


class McError(Exception):
    pass


def parse_names(text):
    """The name=value[:symbol] pairs of a SeverityNames/FacilityNames/LanguageNames list."""
    names = {}
    for name, value in re.findall(r"(\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)(?::\w+)?", text):
        names[name] = int(value, 0)
    return names


def parse(lines):
    severities = dict(DEFAULT_SEVERITIES)
    facilities = {}
    languages = dict(DEFAULT_LANGUAGES)
    messages = []
    message_id = -1
    severity = 0
    facility = 0
    current = None  # keywords of the message being read
    i = 0
    while i < len(lines):
        line = lines[i].rstrip("\r\n")
        i += 1
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        keyword, _, value = stripped.partition("=")
        keyword = keyword.strip()
        value = value.strip()
        if keyword in ("SeverityNames", "FacilityNames", "LanguageNames"):
            block = value
            while ")" not in block:
                if i >= len(lines):
                    raise McError(f"{keyword}: missing ')'")
                block += " " + lines[i].strip()
                i += 1
            names = parse_names(block)
            {"SeverityNames": severities, "FacilityNames": facilities, "LanguageNames": languages}[keyword].update(names)
        elif keyword in ("MessageIdTypedef", "OutputBase", "SymbolicName"):
            continue
        elif keyword == "MessageId":
            if not value:
                message_id += 1
            elif value.startswith("+"):
                message_id += int(value[1:], 0)
            else:
                message_id = int(value, 0)
            current = True
        elif keyword == "Severity":
            if value not in severities:
                raise McError(f"line {i}: unknown severity {value}")
            severity = severities[value]
        elif keyword == "Facility":
            if value not in facilities:
                raise McError(f"line {i}: unknown facility {value}")
            facility = facilities[value]
        elif keyword == "Language":
            if current is None:
                raise McError(f"line {i}: message text without MessageId")
            if value not in languages:
                raise McError(f"line {i}: unknown language {value}")
            text = ""
            while True:
                if i >= len(lines):
                    raise McError("message text not ended by a line holding '.'")
                text_line = lines[i].rstrip("\r\n")
                i += 1
                if text_line == ".":
                    break
                text += text_line + "\r\n"
            identifier = (severity << 30) | (facility << 16) | message_id
            messages.append((identifier, languages[value], text))
        else:
            raise McError(f"line {i}: unexpected '{stripped}'")
    return messages


def c_string(text):
    out = []
    for byte in text.encode("latin-1"):
        char = chr(byte)
        if char in "\\\"":
            out.append("\\" + char)
        elif 0x20 <= byte < 0x7F and char != "?":
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], encoding="latin-1") as source:
        try:
            messages = parse(source.readlines())
        except McError as error:
            sys.stderr.write(f"{argv[1]}: {error}\n")
            return 1
    lines = [
        f"// Generated from {argv[1].rsplit('/', 1)[-1]} by mc_to_table.py.",
        '#include "platform/posix/win32_message.h"',
        "",
        "namespace {",
        "",
        "const DV_MESSAGE_ENTRY kEntries[] = {",
    ]
    for identifier, language, text in messages:
        lines.append(f"    {{0x{identifier:08X}u, 0x{language:04X}, {c_string(text)}}},")
    lines += [
        "};",
        "",
        "}  // namespace",
        "",
        'extern "C" __attribute__((visibility("default"))) const DV_MESSAGE_TABLE DvMessageTable = {',
        "    sizeof kEntries / sizeof kEntries[0], kEntries};",
        "",
    ]
    with open(argv[2], "w", encoding="ascii") as output:
        output.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
