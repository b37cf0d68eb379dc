"""The repository's commands around the service: scripts/serve's options and
the command line it prints, the demo's configuration, and scripts/quillo run
from another folder than service/."""

import os
import re

from conftest import SERVICE

ROOT = os.path.dirname(SERVICE)
EXAMPLE = os.path.join(SERVICE, "example.toml")


def test_the_demo_configuration_names_the_demo_database(tmp_path):
    # Any command given the demo's configuration must reach the demo's
    # records, without a --database beside it.
    from quillo_service import demo_data
    from quillo_service.config import load_config
    from quillo_service.settings import sqlite_path
    path, _ = demo_data.write_config(EXAMPLE, str(tmp_path))
    database = load_config(path).database
    assert sqlite_path(database, os.path.dirname(path)) == str(tmp_path / "demo.db")
    with open(path) as f:
        assert len(re.findall(r"^database\s*=", f.read(), re.M)) == 1
