"""The console's named users, kept in the store's `users` table so that every
host knows the same ones: a name, a salted PBKDF2 hash of the password
(werkzeug.security, never the password), whether the user may only look,
and when the user was made (the database's clock).

`scripts/quillo users FILE add|list|remove` changes them (admin/cli.py);
auth.py reads one by name for each request to /admin/.  The configuration's
[admin] table is a user too, kept in the file and not here.
"""

NAME_LENGTH = 64


def name_problem(name):
    """Why `name` cannot be a user's name, or None when it can.  HTTP Basic
    sends "name:password", and the first ":" ends the name."""
    if not 1 <= len(name) <= NAME_LENGTH:
        return f"a user's name has 1 to {NAME_LENGTH} characters, not {len(name)}"
    if not name.isprintable():
        return "a user's name has only printable characters"
    if ":" in name:
        return "a user's name has no \":\" (HTTP Basic cannot carry it)"
    return None


class Users:
    """The users of one store."""

    def __init__(self, store):
        self.store = store
        self.p = store.placeholder

    def find(self, name):
        """(password hash, read only) of the user `name`, or None."""
        rows = self.store.read(f"SELECT password_hash, read_only FROM users WHERE name = {self.p}",
                               (name,))
        return (rows[0][0], bool(rows[0][1])) if rows else None

    def any(self):
        """Whether the store holds at least one user."""
        return bool(self.store.read("SELECT 1 FROM users LIMIT 1"))

    def listing(self):
        """Every user, by name: dicts of name, read_only and created_at."""
        return [{"name": name, "read_only": bool(read_only), "created_at": created}
                for name, read_only, created in self.store.read(
                    "SELECT name, read_only, created_at FROM users ORDER BY name")]

    def add(self, name, password_hash, read_only):
        """Make the user; False, with nothing changed, when the name is taken."""
        p = self.p
        with self.store.transaction() as conn:
            return conn.execute(
                "INSERT INTO users (name, password_hash, read_only, created_at) "
                f"VALUES ({p}, {p}, {p}, {self.store.now_sql}) ON CONFLICT (name) DO NOTHING",
                (name, password_hash, int(bool(read_only)))).rowcount == 1

    def remove(self, name):
        """Delete the user; False when there was none of that name."""
        with self.store.transaction() as conn:
            return conn.execute(f"DELETE FROM users WHERE name = {self.p}",
                                (name,)).rowcount == 1
