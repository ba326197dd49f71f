-- tolvu's ledger on SQLite (one machine). Apply once:
--   sqlite3 /var/lib/tolvu/ledger.sqlite < schema.sqlite.sql
-- The file and its directory must be writable by PHP-FPM's user (SQLite keeps its journal there).
-- maintain.php (daily from cron) deletes the raw reports past their retention. A ledger of the
-- layout before SIMs gets the SIM's columns from server/install (SQLite has no ADD COLUMN IF NOT
-- EXISTS, and a key is changed only by making the table again).
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

-- The lines of books (epochs) each router has left for a newer one: a router never goes back to
-- one, so a late copy of its reports bills nothing. A row a SIM swap (each SIM's traffic is a
-- line of its own) or a start with nothing saved.
CREATE TABLE IF NOT EXISTS left_epochs (
    serial  TEXT    NOT NULL,
    epoch   INTEGER NOT NULL,               -- as reports.epoch
    PRIMARY KEY (serial, epoch)
) WITHOUT ROWID;

-- Each router's billed traffic a day (UTC) and SIM, written in the same transaction as the
-- report: what the page and the CSV read, kept when raw reports are dropped. iccid: the SIM's,
-- '' for reports without one. reports: reports received that day; resent: copies of a report
-- already billed (a lost reply's re-send), caught.
CREATE TABLE IF NOT EXISTS router_days (
    serial  TEXT    NOT NULL,
    day     TEXT    NOT NULL,             -- 'YYYY-MM-DD', UTC
    up      NOT NULL DEFAULT 0,           -- an integer; past 2^63 - 1, its decimal text
    down    NOT NULL DEFAULT 0,
    reports INTEGER NOT NULL DEFAULT 0,
    resent  INTEGER NOT NULL DEFAULT 0,
    iccid   TEXT    NOT NULL DEFAULT '',
    PRIMARY KEY (serial, day, iccid)
);
-- The fleet's figures a day (the page's chart) read by day.
CREATE INDEX IF NOT EXISTS router_days_by_day ON router_days (day);

-- The page's cache of settled days (a day's rows no longer change ten minutes after its end),
-- filled by usage.php the first time it needs them, and never needed for billing: the fleet's
-- figures a day, and each router's total over a period's settled days (for sorting by total).
-- Its figures are kept as router_days' are: an integer, past 2^63 - 1 its decimal text.
CREATE TABLE IF NOT EXISTS fleet_days (
    day     TEXT PRIMARY KEY,
    up      NOT NULL,
    down    NOT NULL,
    reports INTEGER NOT NULL,
    resent  INTEGER NOT NULL,
    routers INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS period_cache (
    period  TEXT PRIMARY KEY,                 -- 'first/last settled day'
    made    INTEGER NOT NULL                  -- Unix time; dropped a day later
);
CREATE TABLE IF NOT EXISTS period_totals (
    period  TEXT NOT NULL,
    serial  TEXT NOT NULL,
    total   NOT NULL,                         -- up + down
    PRIMARY KEY (period, serial)
);

-- Every report as it came, with what it was billed, kept for a retention (maintain.php). No
-- index: the rule reads routers, the pages router_days. kind: 'full' (a new epoch or seq),
-- 'resent' (the same epoch and seq again: billed by growth), 'old' (an older seq: nothing
-- billed), 'plain' (no epoch and seq: billed in full). iccid: the SIM's, NULL without one.
CREATE TABLE IF NOT EXISTS reports (
    id        INTEGER PRIMARY KEY,
    received  INTEGER NOT NULL,             -- Unix time
    epoch     INTEGER,                      -- its 16 hex digits: printf('%016x', epoch)
    seq       INTEGER,
    bw_up     INTEGER NOT NULL,
    bw_dn     INTEGER NOT NULL,
    billed_up INTEGER NOT NULL,
    billed_dn INTEGER NOT NULL,
    serial    TEXT NOT NULL,
    kind      TEXT NOT NULL CHECK (kind IN ('full', 'resent', 'old', 'plain')),
    iccid     TEXT
);
