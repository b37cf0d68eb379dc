"""The banners' own SQL: acknowledgements of halts, and since when the
service is in maintenance mode.

An acknowledgement is kept per rule and state `version` (rollout_state):
any change of the rule's state raises its version, so a new halt shows its
whole banner again.  Maintenance's start is a position in rollup_state,
kept by the first host that serves with it on and dropped by a host that
serves with it off, so that every host and every restart tell one time.
"""

MAINTENANCE = "maintenance since"  # rollup_state: when a host first served in maintenance


def mark_maintenance(store, on):
    """Keep the time maintenance began (the database's clock) unless kept,
    or forget it when `on` is false; raises StoreError."""
    now = int(store.now()) if on else None
    with store.transaction() as conn:
        if on:
            store.start_position(conn, MAINTENANCE, now)
        else:
            store.drop_position(conn, MAINTENANCE)


def maintenance_since(store):
    """When the service went into maintenance, or None."""
    return store.position(MAINTENANCE)


def acknowledge(store, rule, version, who, now):
    """Record that `who` saw the banner of `rule` in its state `version`
    (the first acknowledgement of a state stands)."""
    p = store.placeholder
    with store.transaction() as conn:
        conn.execute(f"INSERT INTO banner_acks (rule, version, who, acked_at) VALUES "
                     f"({p}, {p}, {p}, {p}) ON CONFLICT (rule, version) DO NOTHING",
                     (rule, int(version), who[:200], now))


def acknowledged(store, rules):
    """{(rule, version): (who, when)} of the acknowledgements of `rules`."""
    rules = sorted(rules)
    if not rules:
        return {}
    p = store.placeholder
    return {(rule, int(version)): (who, at) for rule, version, who, at in store.read(
        f"SELECT rule, version, who, acked_at FROM banner_acks WHERE rule IN "
        f"({', '.join([p] * len(rules))})", rules)}
