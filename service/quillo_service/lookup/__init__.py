"""Looking things up from the console: an event by its support reference,
with the request it belongs to and its client's other events, and the
events or requests behind a code, a crash group, a key or a rule, page by
page (queries.py reads them, view.py says them in plain words)."""
