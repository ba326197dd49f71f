-- The kit's schema as of commit af2ff09 (git show af2ff09:server/schema.sqlite.sql): a ledger of an
-- earlier kit, for test_server_kit.py's carry-over.
-- tolvu's ledger on SQLite (one machine). Apply once:
--   sqlite3 /var/lib/tolvu/ledger.sqlite < schema.sqlite.sql
-- The file and its directory must be writable by PHP-FPM's user (SQLite keeps its journal there).
PRAGMA journal_mode = WAL;

-- Each router's last accepted report: what the rule compares the next one with.
CREATE TABLE IF NOT EXISTS routers (
    serial      TEXT PRIMARY KEY,
    epoch       TEXT,                       -- NULL: none yet, or a report without epoch and seq
    seq         INTEGER,
    bw_up       INTEGER NOT NULL DEFAULT 0, -- its figures, as sent
    bw_dn       INTEGER NOT NULL DEFAULT 0,
    last_report INTEGER NOT NULL DEFAULT 0, -- Unix time of the last report received
    client      TEXT                        -- its client certificate's subject, if any
);

-- Each router's billed traffic a day (UTC), written in the same transaction as the report: what
-- the page and the CSV read, kept when raw reports are dropped. reports: reports received that
-- day; resent: copies of a report already billed (a lost reply's re-send), caught.
CREATE TABLE IF NOT EXISTS router_days (
    serial  TEXT    NOT NULL,
    day     TEXT    NOT NULL,             -- 'YYYY-MM-DD', UTC
    up      INTEGER NOT NULL DEFAULT 0,
    down    INTEGER NOT NULL DEFAULT 0,
    reports INTEGER NOT NULL DEFAULT 0,
    resent  INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (serial, day)
);

-- Every report, with what it was billed. kind: 'full' (a new epoch or seq), 'resent' (the same
-- epoch and seq again: billed by growth), 'old' (an older seq: nothing billed), 'plain' (no
-- epoch and seq: billed in full).
CREATE TABLE IF NOT EXISTS reports (
    id        INTEGER PRIMARY KEY,
    serial    TEXT NOT NULL,
    received  INTEGER NOT NULL,             -- Unix time
    epoch     TEXT,
    seq       INTEGER,
    bw_up     INTEGER NOT NULL,
    bw_dn     INTEGER NOT NULL,
    billed_up INTEGER NOT NULL,
    billed_dn INTEGER NOT NULL,
    kind      TEXT NOT NULL CHECK (kind IN ('full', 'resent', 'old', 'plain')),
    client    TEXT
);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received, serial);
CREATE INDEX IF NOT EXISTS reports_by_serial ON reports (serial, received);
