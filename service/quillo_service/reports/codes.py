"""The launcher's failure codes in plain words, for the error page.

Each code names the spot in the launcher that failed; the page tells the
person what that means and what to do.  Codes are grouped so that the advice
is shared; a few codes carry advice of their own.
"""

from typing import NamedTuple


class Group(NamedTuple):
    title: str
    advice: str
    # What leads to the page's one offer of the full installer (when the
    # service has one), "<then>: Download the full installer": the advice
    # itself never names it, so that it is offered once.
    then: str = "You can also"


GROUPS = {
    "network": Group("The connection to the download server failed or was interrupted.",
                     "Check that this computer is connected to the internet, then run setup "
                     "again; it continues where the download stopped."),
    "genuine": Group("The downloaded file was not the genuine installer.",
                     "Run setup again. If this happens again, something between this computer "
                     "and our server changes downloads (a proxy or security software).",
                     "In that case"),
    "service": Group("Our server sent an answer that setup could not use.",
                     "Please try again in a few minutes."),
    "damaged": Group("This copy of the setup program is incomplete or damaged.",
                     "Download the setup program again.", "Or"),
    "disk": Group("Setup could not create or write its files on this computer.",
                  "Make sure the disk has free space and that the temporary folder can be "
                  "written to, then run setup again."),
    "system": Group("Setup cannot run on this computer as it is set up now.",
                    "See below for what to change, then run setup again."),
    "installer": Group("The installer could not be started or reported a problem.",
                       "Run setup again.", "If it fails again"),
    "internal": Group("Setup ran into an internal problem.",
                      "Please run setup again.", "If it keeps failing"),
    "crash": Group("Setup stopped unexpectedly.",
                   "Please run setup again.", "If it keeps stopping"),
    "unknown": Group("Setup could not finish.",
                     "Please run setup again.", "If it keeps failing"),
}


class Code(NamedTuple):
    group: str
    words: str
    advice: str | None = None


_N = "network"
CODES = {
    # The instruction request and the download of the installer.
    137: Code(_N, "Setup could not reach the server that says what to download."),
    188: Code(_N, "The installer could not be downloaded."),
    133: Code(_N, "The download could not start."),
    143: Code(_N, "The internet functions of Windows could not be started."),
    190: Code(_N, "The download request could not be prepared."),
    215: Code(_N, "The download request could not be sent."),
    227: Code(_N, "The server's answer gave an unreadable length."),
    249: Code(_N, "The server's answer could not be read."),
    262: Code(_N, "The server did not resume the interrupted download."),
    266: Code(_N, "The server resumed the download with the wrong length."),
    274: Code(_N, "The server's resumed answer could not be read."),
    278: Code(_N, "The server resumed the download in an unknown form."),
    280: Code(_N, "The server resumed the download at the wrong place."),
    281: Code(_N, "The server resumed the download at the wrong place."),
    282: Code(_N, "The server resumed the download at the wrong place."),
    283: Code(_N, "The server resumed the download at the wrong place."),
    311: Code(_N, "Reading the download failed."),
    334: Code(_N, "The download ended too early."),
    382: Code(_N, "The download was interrupted and could not be resumed."),
    # What the installer turned out to be.
    201: Code("genuine", "The installer's signature does not name its publisher."),
    206: Code("genuine", "The installer's signature is not valid."),
    # The answer of this service.
    147: Code("service", "The server asked for a web page to be shown during a silent setup."),
    155: Code("service", "The server's answer was not understood."),
    439: Code("service", "The server named a download address that is not valid."),
    # The launcher's own file and its bundle key.
    374: Code("damaged", "The setup program's file is not a valid program."),
    378: Code("damaged", "The setup program is not signed."),
    379: Code("damaged", "The setup program's signature area is too large."),
    380: Code("damaged", "The setup program's signature area is missing."),
    387: Code("damaged", "The setup program could not open its own file."),
    391: Code("damaged", "The setup program could not read its own file."),
    394: Code("damaged", "The setup program ran out of memory reading its own file."),
    397: Code("damaged", "The setup program could not read its own file."),
    398: Code("damaged", "The setup program's file ended too early."),
    420: Code("damaged", "The setup program does not carry its product key."),
    423: Code("damaged", "The setup program's product key is incomplete."),
    425: Code("damaged", "The setup program's product key is damaged."),
    428: Code("damaged", "The setup program's product key is empty."),
    429: Code("damaged", "The setup program's product key is too long."),
    493: Code("damaged", "The setup program's product key could not be read."),
    # Files and folders on this computer.
    163: Code("disk", "The temporary folder could not be found."),
    169: Code("disk", "A working folder could not be created."),
    179: Code("disk", "The installer file could not be created."),
    72: Code("disk", "Writing the installer to disk failed."),
    73: Code("disk", "The disk did not take the whole installer; it may be full."),
    321: Code("disk", "A file could not be created."),
    324: Code("disk", "Writing a file failed."),
    325: Code("disk", "A file could not be written completely."),
    350: Code("disk", "A file could not be opened."),
    356: Code("disk", "A file's size could not be read."),
    361: Code("disk", "A file was larger than expected."),
    370: Code("disk", "There was not enough memory to read a file."),
    377: Code("disk", "Reading a file failed."),
    # The computer itself.
    475: Code("system", "This version of Windows is too old.",
              "Setup needs Windows XP or later."),
    484: Code("system", "The computer's clock is set to a wrong date.",
              "Set the date and time correctly (in the Windows clock settings), then run "
              "setup again."),
    # Starting and waiting for the installer.
    239: Code("installer", "The installer could not be started."),
    263: Code("installer", "The installer's result could not be read."),
    265: Code("installer", "The installer reported an error."),
    # Inside the launcher.
    9: Code("internal", "The computer's identifier could not be computed."),
    99: Code("internal", "The computer's identifier could not be created."),
    108: Code("internal", "The computer's identifier could not be computed."),
    61: Code("internal", "The browser's identification could not be read."),
    123: Code("internal", "A download was asked for a wrong range."),
    125: Code("internal", "A download was asked for a wrong range."),
    204: Code("internal", "Setup ran out of memory."),
    247: Code("internal", "A text could not be converted."),
    303: Code("internal", "Setup ran out of memory."),
    288: Code("internal", "The download step stopped with an unexpected error."),
    291: Code("internal", "The download step stopped with an unexpected error."),
    598: Code("internal", "Setup stopped with an unexpected error."),
    601: Code("internal", "Setup stopped with an unexpected error."),
}


class Explanation(NamedTuple):
    group: str
    title: str
    words: str | None
    advice: str
    then: str  # leads to the offer of the full installer (Group.then)


def explain(code_number, crash=False):
    """Plain words for a code (an int, or None when the query had none)."""
    if crash:
        g = GROUPS["crash"]
        return Explanation("crash", g.title, None, g.advice, g.then)
    c = CODES.get(code_number)
    if c is None:
        g = GROUPS["unknown"]
        return Explanation("unknown", g.title, None, g.advice, g.then)
    g = GROUPS[c.group]
    return Explanation(c.group, g.title, c.words, c.advice or g.advice, g.then)
