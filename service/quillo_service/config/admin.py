"""[admin]: who may open /admin/."""

from .checks import ConfigError, section, text


def parse_admin(data, p):
    """(user, password hash), or None: no one may."""
    admin = data.get("admin")
    if admin is None:
        return None
    section(admin, "admin", {"user", "password_hash"}, p)
    user = text(admin.get("user"), f"{p}: admin.user", 64)
    password_hash = text(admin.get("password_hash"), f"{p}: admin.password_hash", 400)
    if not password_hash.startswith("pbkdf2:") or password_hash.count("$") != 2:
        raise ConfigError(f"{p}: admin.password_hash is not a password hash; make one with "
                          "scripts/quillo hash-password")
    return (user, password_hash)
