"""The command line: misuse, a missing database, what it prints, and the
confirmation asked of a person at a terminal."""

import io
import json
import os
import pty
import re
import subprocess
import sys
import time

import pytest
from conftest import ADMIN, CONFIG, GUARDED, RULE, SERVICE, empty_postgres

from quillo_service import __main__ as cli
from quillo_service.db import open_store


@pytest.mark.parametrize("argv, complaint", [
    (["bogus", "x"], "invalid choice: 'bogus'"),
    (["requests", "FILE", "-3"], "give 1 to 1,000,000 rows, not -3"),
    (["requests", "FILE", "0"], "not 0"),
    (["requests", "FILE", "1000001"], "not 1000001"),
    (["requests", "FILE", "abc"], "'abc' is not a whole number"),
    (["purge", "FILE", "30"], "takes no '30' (to keep N days this once: purge FILE --days N)"),
    (["purge", "FILE", "--days", "0"], "give 1 to 36500 days, not 0"),
    (["purge", "FILE", "--days", "36501"], "not 36501"),
    (["rollouts", "FILE", "halt"], "halt needs the NAME of a rule"),
    (["rollouts", "FILE", "stop", "x"], "invalid choice: 'stop'"),
    (["hosts", "FILE", "forget"], "forget needs the NAME of a host"),
    (["users", "FILE"], "required: ACTION"),
    (["users", "FILE", "add"], "add needs the NAME of a user"),
    (["users", "FILE", "list", "ana"], "list takes no NAME ('ana')"),
    (["users", "FILE", "remove", "ana", "--read-only"], "--read-only is for add"),
    ([], "required: COMMAND"),
])
def test_misuse_exits_2_naming_the_problem(argv, complaint, capsys):
    with pytest.raises(SystemExit) as done:
        cli.main(argv)
    err = capsys.readouterr().err
    assert done.value.code == 2 and complaint in err and "Traceback" not in err
    assert err.splitlines()[0].startswith("usage: scripts/quillo")


def test_a_missing_database_is_named_and_never_made(write_config, tmp_path, capsys, monkeypatch):
    monkeypatch.delenv("QUILLO_SERVICE_DATABASE", raising=False)
    path = write_config(CONFIG.replace("[limits]", 'database = "var/q.db"\n[limits]', 1))
    where = str(tmp_path / "var" / "q.db")
    for argv in (["requests", path], ["events", path, "5"], ["rollouts", path],
                 ["hosts", path], ["purge", path], ["rollup", path], ["event", path, "AB"],
                 ["users", path, "list"], ["users", path, "add", "ana"],
                 ["users", path, "remove", "ana"]):
        assert cli.main(argv) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and f"{where} does not exist" in err
    assert cli.main(["check", path]) == 0
    out = capsys.readouterr().out
    assert "does not exist yet, so the file alone was checked" in out
    no_user = f"no user can open the console: scripts/quillo users {path} add NAME"
    assert out.endswith(f"\nwarning: {no_user}\n")
    assert not os.path.exists(where)
    # A file that is no configuration: one line, exit 1.
    (tmp_path / "bad.toml").write_text("[[rules]\n")
    assert cli.main(["requests", str(tmp_path / "bad.toml")]) == 1
    assert capsys.readouterr().err.startswith("error: ")

    assert cli.main(["migrate", path]) == 0 and os.path.exists(where)
    capsys.readouterr()
    assert cli.main(["check", path, "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["warnings"] == [no_user]
    store = open_store(where)
    for ago in (3, 1):  # days
        store.record_request(time.time() - ago * 86400 - 60, "c", "k", "0,1,0,220", None,
                             "GET:x", "default", "", "")
    store.close()
    capsys.readouterr()
    assert cli.main(["requests", path, "1"]) == 0
    (row,) = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert row["recorded_at_utc"] == time.strftime("%Y-%m-%dT%H:%M:%SZ",
                                                   time.gmtime(row["recorded_at"]))
    assert cli.main(["purge", path, "--days", "2", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {"deleted": 1, "days": 2}
    assert cli.main(["hosts", path]) == 0
    assert capsys.readouterr().out.startswith("no host has sent a heartbeat")


def test_an_empty_postgresql_database_is_no_database_of_the_service(postgres):
    store = open_store(empty_postgres(postgres))
    try:
        assert store.exists() is False
        store.check()
        assert store.exists() is True
    finally:
        store.close()


def _run(args, tty, answer=b""):
    """The command line in a child process, on a terminal or on pipes."""
    env = {"PATH": os.environ["PATH"], "PYTHONPATH": SERVICE}
    command = [sys.executable, "-m", "quillo_service", *args]
    if not tty:
        r = subprocess.run(command, env=env, input=answer, capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode() + r.stderr.decode()
    parent, child = pty.openpty()
    p = subprocess.Popen(command, env=env, stdin=child, stdout=child, stderr=child)
    os.close(child)
    out, asked = b"", False
    while True:
        try:
            chunk = os.read(parent, 4096)
        except OSError:  # the child is gone
            break
        if not chunk:
            break
        out += chunk
        if not asked and b"[y/N]" in out:
            os.write(parent, answer)
            asked = True
    os.close(parent)
    return p.wait(timeout=60), out.decode()


def test_widening_asks_a_person_at_a_terminal_and_nobody_else(write_config, tmp_path,
                                                              monkeypatch):
    monkeypatch.delenv("QUILLO_SERVICE_DATABASE", raising=False)
    path = write_config(GUARDED.format(steps="10, 50, 100"))
    assert _run(["migrate", path], tty=False)[0] == 0
    code, out = _run(["rollouts", path, "advance", RULE], tty=True, answer=b"n\n")
    assert code == 1 and f"Advance {RULE}: 10 % -> 50 % of matching machines? [y/N]" in out
    assert "nothing was changed" in out
    code, out = _run(["rollouts", path, "advance", RULE, "--yes"], tty=True)
    assert code == 0 and "[y/N]" not in out and " 50% " in out
    code, out = _run(["rollouts", path, "advance", RULE], tty=False)  # a script: no question
    assert code == 0 and "[y/N]" not in out and " 100% " in out
    code, out = _run(["rollouts", path, "halt", RULE], tty=True)  # narrows: never asked
    assert code == 0 and "[y/N]" not in out


def test_users_are_added_listed_and_removed(write_config, monkeypatch, capsys):
    monkeypatch.delenv("QUILLO_SERVICE_DATABASE", raising=False)
    path = write_config(CONFIG.replace("[limits]", 'database = "q.db"\n[limits]', 1) + ADMIN)
    assert cli.main(["migrate", path]) == 0

    def add(name, *flags, password="0123456789"):
        monkeypatch.setattr(sys, "stdin", io.StringIO(password + "\n"))
        capsys.readouterr()
        code = cli.main(["users", path, "add", name, *flags])
        out = capsys.readouterr()
        return code, out.out + out.err

    assert add("x" * 64)[0] == 0
    for name, why in (("x" * 65, "1 to 64 characters, not 65"), ("", "not 0"),
                      ("a:b", 'no ":"'), ("tab\there", "printable"),
                      ("x" * 64, "already"), ("boss", "already (the [admin] table of")):
        code, out = add(name)
        assert code == 1 and out.startswith("error: ") and why in out and out.count("\n") == 1
    assert add("nine", password="012345678") == (1, "error: use at least 10 characters\n")
    assert add("reader", "--read-only") == (0, "added reader, who may only look\n")
    assert cli.main(["check", path]) == 0 and "warning" not in capsys.readouterr().out

    assert cli.main(["users", path, "list"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["user", "read-only", "created", "(UTC)"]
    assert [line.split()[:2] for line in lines[1:3]] == [["reader", "yes"], ["x" * 64, "no"]]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", lines[1].split()[2])
    assert lines[3].endswith("has the user boss, who may change everything")
    assert cli.main(["users", path, "list", "--json"]) == 0
    listed = json.loads(capsys.readouterr().out)
    assert [(u["name"], u["read_only"]) for u in listed] == [("reader", True), ("x" * 64, False)]
    assert listed[0]["created_at"] == lines[1].split()[2]

    for name in ("nobody", "boss"):  # boss is the configuration's, not the store's
        assert cli.main(["users", path, "remove", name]) == 1
        assert capsys.readouterr().err.count("\n") == 1
    assert cli.main(["users", path, "remove", "reader"]) == 0
    assert capsys.readouterr().out.startswith("removed reader")
    assert cli.main(["users", path, "list", "--json"]) == 0
    assert [u["name"] for u in json.loads(capsys.readouterr().out)] == ["x" * 64]
