-- The kit's schema as of commit af2ff09 (git show af2ff09:server/schema.pgsql.sql): a ledger of an
-- earlier kit, for test_server_kit.py's carry-over.
-- tolvu's ledger on PostgreSQL (a fleet: several web front ends on one database). Apply once:
--   psql -d tolvu -f schema.pgsql.sql
-- and grant PHP-FPM's database user SELECT, INSERT, UPDATE on both tables and USAGE on
-- reports_id_seq.

-- Each router's last accepted report: what the rule compares the next one with.
CREATE TABLE IF NOT EXISTS routers (
    serial      TEXT PRIMARY KEY,
    epoch       CHAR(16),                   -- NULL: none yet, or a report without epoch and seq
    seq         BIGINT,
    bw_up       BIGINT NOT NULL DEFAULT 0,  -- its figures, as sent
    bw_dn       BIGINT NOT NULL DEFAULT 0,
    last_report BIGINT NOT NULL DEFAULT 0,  -- Unix time of the last report received
    client      TEXT                        -- its client certificate's subject, if any
);

-- Each router's billed traffic a day (UTC), written in the same transaction as the report: what
-- the page and the CSV read, kept when raw reports are dropped. reports: reports received that
-- day; resent: copies of a report already billed (a lost reply's re-send), caught.
CREATE TABLE IF NOT EXISTS router_days (
    serial  TEXT    NOT NULL,
    day     DATE    NOT NULL,             -- UTC
    up      BIGINT  NOT NULL DEFAULT 0,
    down    BIGINT  NOT NULL DEFAULT 0,
    reports INTEGER NOT NULL DEFAULT 0,
    resent  INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (serial, day)
);

-- Every report, with what it was billed. kind: 'full' (a new epoch or seq), 'resent' (the same
-- epoch and seq again: billed by growth), 'old' (an older seq: nothing billed), 'plain' (no
-- epoch and seq: billed in full).
CREATE TABLE IF NOT EXISTS reports (
    id        BIGSERIAL PRIMARY KEY,
    serial    TEXT NOT NULL,
    received  BIGINT NOT NULL,              -- Unix time
    epoch     CHAR(16),
    seq       BIGINT,
    bw_up     BIGINT NOT NULL,
    bw_dn     BIGINT NOT NULL,
    billed_up BIGINT NOT NULL,
    billed_dn BIGINT NOT NULL,
    kind      TEXT NOT NULL CHECK (kind IN ('full', 'resent', 'old', 'plain')),
    client    TEXT
);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received, serial);
CREATE INDEX IF NOT EXISTS reports_by_serial ON reports (serial, received);
