"""The staged rollouts' arms a request was answered in, as its row keeps them.

A request that reached a guarded rule (no earlier rule took it) and met its
conditions with a usable machine id is in one of that rule's two arms: the
rule's, when its machine fell in the rule's share at that moment and the
rule answered it, or the control, when it fell outside and a later rule or
the default answered it.  `decide` (rules.py) says which as it answers, and
the request's row keeps it, so that what the guard counts never depends on
a later configuration: a rule renamed, reordered or given another share
afterwards moves no request it had answered from one arm to the other.
Requests that nginx answered in the service's place were never decided
here and are in no arm.

The row's `arms` column holds them as one text: each arm a sign and the
rule's name, "+" for the rule's arm and "-" for the control, joined by tabs
(a rule's name is printable ASCII, never a tab); NULL when there is none.
"""

RULE = "rule"        # the arms as rollout_counts names them
CONTROL = "control"
_SIGNS = {RULE: "+", CONTROL: "-"}
_ARMS = {"+": RULE, "-": CONTROL}


def encode(arms):
    """[(rule name, arm)] as a row keeps it; None for none."""
    if not arms:
        return None
    return "\t".join(_SIGNS[arm] + name for name, arm in arms)


def decode(text):
    """The [(rule name, arm)] a row keeps; a part that is none is left out."""
    if not text:
        return []
    return [(part[1:], _ARMS[part[0]]) for part in text.split("\t")
            if len(part) > 1 and part[0] in _ARMS]
