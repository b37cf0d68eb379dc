"""Where the service finds its things: the environment it is started with and
the paths that follow from it (the configuration, the database, the client
secret, the state folder).

Each QUILLO_SERVICE_* variable is read here only, so that the one place to
look up what a variable does, and what holds when it is unset, is this file.
"""

import os
import socket

SECRET_FILE = "client.secret"


def config_path(given=None):
    """The configuration file: `given`, else QUILLO_SERVICE_CONFIG; None when
    neither names one."""
    return given or os.environ.get("QUILLO_SERVICE_CONFIG") or None


def database(config, override=None):
    """The database setting in force: `override`, else QUILLO_SERVICE_DATABASE,
    else the configuration's `database`."""
    return override or os.environ.get("QUILLO_SERVICE_DATABASE") or config.database


def proxies_text(given=None):
    """The proxies whose X-Real-IP is believed, as text (QUILLO_SERVICE_PROXIES)."""
    return os.environ.get("QUILLO_SERVICE_PROXIES", "") if given is None else given


def fallback_folder(given=None):
    """Where nginx's fallback answer and its log live (QUILLO_SERVICE_FALLBACK),
    or None."""
    return given or os.environ.get("QUILLO_SERVICE_FALLBACK")


def front_log(given=None):
    """The front's log of the answers it gave itself while no host could, as
    this host sees the file (QUILLO_SERVICE_FRONT_LOG), or None: this host
    reads it into the records as it reads its own nginx's fallback log.  Set
    it on one host only (see DEPLOY.md, "When every host is down")."""
    return given or os.environ.get("QUILLO_SERVICE_FRONT_LOG") or None


def housekeeping(given=None):
    """Whether this process takes its turn at the periodic jobs
    (QUILLO_SERVICE_HOUSEKEEPING, on unless "off")."""
    if given is not None:
        return given
    return os.environ.get("QUILLO_SERVICE_HOUSEKEEPING", "on").lower() != "off"


def host_name(given=None):
    """This host's name among the hosts that share a database
    (QUILLO_SERVICE_HOST, else the machine's host name).  Whatever is kept
    per host is kept under it: how far its nginx logs were read, its
    heartbeat, its lease holder's name.  The default is the name the
    positions of nginx's logs were kept under before it could be set, so a
    host that leaves it unset reads on where it was."""
    name = given if given is not None else os.environ.get("QUILLO_SERVICE_HOST", "")
    return name.strip()[:200] or socket.gethostname()


# A dead holder's housekeeping waits this long for another host to take over.
LEASE_SECONDS = 60.0


def lease_seconds(given=None):
    """How long the housekeeping lease lasts without renewal
    (QUILLO_SERVICE_LEASE_SECONDS, LEASE_SECONDS unless set; at least 1).
    Shorter for tests and small deployments: the jobs of a killed holder
    then move to another host sooner."""
    if given is not None:
        return float(given)
    text = os.environ.get("QUILLO_SERVICE_LEASE_SECONDS", "").strip()
    if not text:
        return LEASE_SECONDS
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"QUILLO_SERVICE_LEASE_SECONDS={text!r:.40} is not a number "
                         "of seconds") from None
    if not 1 <= value <= 86400:
        raise ValueError(f"QUILLO_SERVICE_LEASE_SECONDS={text!r:.40}: give 1 to 86400 seconds")
    return value


def state_folder():
    """The service's state folder (systemd's StateDirectory, its first entry),
    or None when not run by systemd with one."""
    return (os.environ.get("STATE_DIRECTORY") or "").split(":")[0] or None


def config_folder(config):
    """The configuration file's folder: relative paths in it start there."""
    return os.path.dirname(os.path.abspath(config.path))


def sqlite_path(url, base_dir=None):
    """The file path behind a SQLite database setting, or None for PostgreSQL."""
    if url.startswith(("postgresql://", "postgres://")):
        return None
    if url.startswith("sqlite://"):
        path = url[len("sqlite://"):]  # "sqlite:///abs/x.db" -> "/abs/x.db"
        if path.startswith("//"):
            path = "/" + path.lstrip("/")  # the four-slash spelling of an absolute path
    elif url.startswith("sqlite:"):
        path = url[len("sqlite:"):]
    else:
        path = url
    if not os.path.isabs(path) and base_dir is not None:
        path = os.path.join(base_dir, path)
    return path


def secret_path(config, database):
    """Where the secret lives: the configuration's `client_secret`, else
    beside a SQLite database, else in the service's state folder (systemd's
    StateDirectory), else beside the configuration.  Hosts that share a
    PostgreSQL database must share this file too (see DEPLOY.md)."""
    base = config_folder(config)
    if config.client_secret:
        return os.path.join(base, config.client_secret)
    db_file = sqlite_path(database, base)
    if db_file is not None:
        return os.path.join(os.path.dirname(db_file), SECRET_FILE)
    return os.path.join(state_folder() or base, SECRET_FILE)


def spool_folder(base_dir):
    """Where a PostgreSQL store keeps the requests the database could not take
    in time: the state folder, else `base_dir` (the configuration's folder);
    None when there is neither."""
    return state_folder() or base_dir
