"""The service's figures for Prometheus, at /metrics (view.py), read from
the store at scrape time (collector.py): no counter lives in a process, so
any number of gunicorn workers and hosts give the same answer."""
