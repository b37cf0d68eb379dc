"""Long texts cut to a width, where the console has no room for them whole.

Keys of one campaign often share a long beginning and differ at the end
("acme-2026-spring-newsletter-a", "...-b"), so a cut keeps both ends and
drops the middle: two keys that differ only at the end still look different.
Whoever cuts shows the whole text beside it (a title), and the CSV has it.
"""

ELLIPSIS = "\u2026"
CELL_CHARS = 48  # of a key in a table's cell


def middle(text, limit):
    """`text` when it has at most `limit` characters; else its first and its
    last characters around an ellipsis, `limit` characters in all, a third
    of them from the end."""
    text = str(text)
    if len(text) <= limit:
        return text
    tail = (limit - 1) // 3
    return text[:limit - 1 - tail] + ELLIPSIS + text[len(text) - tail:]
