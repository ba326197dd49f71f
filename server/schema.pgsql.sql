-- tolvu's ledger on PostgreSQL (a fleet: several web front ends on one database). Apply once:
--   psql -d tolvu -f schema.pgsql.sql
-- then run maintain.php (and daily from cron), as the user that owns reports: it makes the raw
-- reports' monthly partitions and drops those past the retention. PHP-FPM's database user needs
-- SELECT, INSERT, UPDATE on routers, router_days and reports, SELECT, INSERT on left_epochs,
-- USAGE on reports_id_seq, and SELECT, INSERT, DELETE on the page's cache: fleet_days,
-- period_cache and period_totals. Applied again to a ledger of an earlier layout, it adds what
-- that one lacks (the SIM's columns, the routers' latest days) and keeps every row.

-- Each router's last accepted report: what the rule compares the next one with.
CREATE TABLE IF NOT EXISTS routers (
    serial      TEXT PRIMARY KEY,
    epoch       CHAR(16),                   -- NULL: none yet, or a report without epoch and seq
    seq         BIGINT,
    bw_up       BIGINT NOT NULL DEFAULT 0,  -- its figures, as sent
    bw_dn       BIGINT NOT NULL DEFAULT 0,
    last_report BIGINT NOT NULL DEFAULT 0,  -- Unix time of the last report received
    client      TEXT,                       -- its client certificate's subject, if any
    -- The latest day (UTC) it was billed for, and the one before, each with its total over its
    -- SIMs taken up to 2^60 (as period_totals.sort_key): the page sorts the fleet by total on
    -- these for the days still open, so that no view sums their rows. Kept by a trigger on
    -- router_days (below).
    day         DATE,
    day_key     BIGINT NOT NULL DEFAULT 0,
    prev_day    DATE,
    prev_key    BIGINT NOT NULL DEFAULT 0
);
-- A ledger of an earlier layout: its routers gain their days (filled below, from router_days).
ALTER TABLE routers ADD COLUMN IF NOT EXISTS day DATE,
    ADD COLUMN IF NOT EXISTS day_key BIGINT NOT NULL DEFAULT 0,
    ADD COLUMN IF NOT EXISTS prev_day DATE,
    ADD COLUMN IF NOT EXISTS prev_key BIGINT NOT NULL DEFAULT 0;

-- The lines of books (epochs) each router has left for a newer one: a router never goes back to
-- one, so a late copy of its reports bills nothing. A row a SIM swap (each SIM's traffic is a
-- line of its own) or a start with nothing saved.
CREATE TABLE IF NOT EXISTS left_epochs (
    serial  TEXT   NOT NULL,
    epoch   BIGINT NOT NULL,                -- as reports.epoch
    PRIMARY KEY (serial, epoch)
);

-- Each router's billed traffic a day (UTC) and SIM, written in the same transaction as the
-- report: what the page and the CSV read, kept when raw reports are dropped. iccid: the SIM's,
-- '' for reports without one. reports: reports received that day; resent: copies of a report
-- already billed (a lost reply's re-send), caught.
CREATE TABLE IF NOT EXISTS router_days (
    serial  TEXT    NOT NULL,
    day     DATE    NOT NULL,             -- UTC
    up      NUMERIC NOT NULL DEFAULT 0,   -- exact past 2^63 - 1
    down    NUMERIC NOT NULL DEFAULT 0,
    reports INTEGER NOT NULL DEFAULT 0,
    resent  INTEGER NOT NULL DEFAULT 0,
    iccid   TEXT    NOT NULL DEFAULT '',
    PRIMARY KEY (serial, day, iccid)
);
-- A ledger of the layout before SIMs: its days are the router's without a SIM ('').
ALTER TABLE router_days ADD COLUMN IF NOT EXISTS iccid TEXT NOT NULL DEFAULT '';
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_index i JOIN pg_attribute a ON a.attrelid = i.indrelid
                   AND a.attnum = ANY (i.indkey) WHERE i.indrelid = 'router_days'::regclass
                   AND i.indisprimary AND a.attname = 'iccid') THEN
        ALTER TABLE router_days DROP CONSTRAINT router_days_pkey,
            ADD PRIMARY KEY (serial, day, iccid);
    END IF;
END $$;
-- The fleet's figures a day (the page's chart) read by day.
CREATE INDEX IF NOT EXISTS router_days_by_day ON router_days (day);

-- Each router's latest two days on its row (routers.day and prev_day), kept by the database
-- from what every write adds to router_days, whichever front end writes it (an older
-- bandwidth.php during an upgrade, say): a day later than the latest moves that one to the one
-- before; a day between the two takes the place of the one before; an older day is left to
-- router_days. A day's figures only grow, so a write adds its growth, each figure and the sum
-- taken up to 2^60.
CREATE OR REPLACE FUNCTION router_days_latest() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    cap CONSTANT BIGINT := 1152921504606846976;
    add BIGINT;
BEGIN
    IF TG_OP = 'UPDATE' THEN
        add := LEAST(LEAST(NEW.up - OLD.up, cap) + LEAST(NEW.down - OLD.down, cap), cap);
    ELSE
        add := LEAST(LEAST(NEW.up, cap) + LEAST(NEW.down, cap), cap);
    END IF;
    UPDATE routers SET
        day = GREATEST(day, NEW.day),
        day_key = CASE WHEN day = NEW.day THEN LEAST(day_key + add, cap)
                       WHEN day > NEW.day THEN day_key ELSE add END,
        prev_day = CASE WHEN day < NEW.day THEN day
                        WHEN day > NEW.day AND (prev_day IS NULL OR prev_day < NEW.day) THEN NEW.day
                        ELSE prev_day END,
        prev_key = CASE WHEN day < NEW.day THEN day_key
                        WHEN prev_day = NEW.day THEN LEAST(prev_key + add, cap)
                        WHEN day > NEW.day AND (prev_day IS NULL OR prev_day < NEW.day) THEN add
                        ELSE prev_key END
     WHERE serial = NEW.serial;
    RETURN NULL;
END $$;

-- The same made again from router_days, for the days that can still be open (yesterday and
-- today, UTC), with reports held back meanwhile: for a ledger that did not keep them (an earlier
-- layout), when the schema first puts the trigger on router_days.
CREATE OR REPLACE FUNCTION routers_latest_days() RETURNS void LANGUAGE sql AS $$
    LOCK TABLE routers IN SHARE ROW EXCLUSIVE MODE;
    UPDATE routers t SET day = d.day, day_key = d.day_key, prev_day = d.prev_day,
                         prev_key = COALESCE(d.prev_key, 0)
      FROM (SELECT serial, MAX(day) AS day,
                   MAX(sum) FILTER (WHERE n = 1) AS day_key,
                   MIN(day) FILTER (WHERE n = 2) AS prev_day,
                   MAX(sum) FILTER (WHERE n = 2) AS prev_key
              FROM (SELECT serial, day, LEAST(SUM(up + down), 1152921504606846976)::bigint AS sum,
                           row_number() OVER (PARTITION BY serial ORDER BY day DESC) AS n
                      FROM router_days WHERE day >= (now() AT TIME ZONE 'UTC')::date - 1
                     GROUP BY serial, day) days
             GROUP BY serial) d
     WHERE d.serial = t.serial;
$$;
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_trigger WHERE tgrelid = 'router_days'::regclass
                   AND tgname = 'router_days_latest') THEN
        -- In the order a report takes them: routers, then router_days.
        LOCK TABLE routers IN SHARE ROW EXCLUSIVE MODE;
        LOCK TABLE router_days IN SHARE ROW EXCLUSIVE MODE;
        CREATE TRIGGER router_days_latest AFTER INSERT OR UPDATE ON router_days
            FOR EACH ROW EXECUTE FUNCTION router_days_latest();
        PERFORM routers_latest_days();
    END IF;
END $$;

-- The page's cache of settled days (a day's rows no longer change ten minutes after its end),
-- filled by usage.php the first time it needs them, and never needed for billing: the fleet's
-- figures a day, and each router's total over a period's settled days (for sorting by total).
-- Its figures are NUMERIC, as router_days' are.
CREATE TABLE IF NOT EXISTS fleet_days (
    day     DATE PRIMARY KEY,
    up      NUMERIC NOT NULL,
    down    NUMERIC NOT NULL,
    reports BIGINT  NOT NULL,
    resent  BIGINT  NOT NULL,
    routers BIGINT  NOT NULL
);
CREATE TABLE IF NOT EXISTS period_cache (
    period  TEXT PRIMARY KEY,                 -- 'first/last settled day'
    made    BIGINT  NOT NULL                  -- Unix time; dropped a day later
);
-- The cache of an earlier kit, without the sort key: emptied (it is made again when needed).
DO $$ BEGIN
    IF to_regclass('period_totals') IS NOT NULL AND NOT EXISTS (
            SELECT FROM pg_attribute WHERE attrelid = to_regclass('period_totals')
            AND attname = 'sort_key' AND NOT attisdropped) THEN
        DROP TABLE period_totals;
        DELETE FROM period_cache;
    END IF;
END $$;
CREATE TABLE IF NOT EXISTS period_totals (
    period   TEXT NOT NULL,
    serial   TEXT NOT NULL,
    total    NUMERIC NOT NULL,                -- up + down
    sort_key BIGINT NOT NULL,                 -- min(total, 2^60): sorted by, in 64 bits
    PRIMARY KEY (period, serial)
);

-- Every report as it came, with what it was billed, kept for a retention (maintain.php): one
-- partition a month, dropped in whole. No index: the rule reads routers, the pages router_days;
-- a dispute's question scans its month. kind: 'full' (a new epoch or seq), 'resent' (the same
-- epoch and seq again: billed by growth), 'old' (an older seq: nothing billed), 'plain' (no
-- epoch and seq: billed in full). iccid: the SIM's, NULL without one. Columns in the order that
-- packs them tightest.
CREATE SEQUENCE IF NOT EXISTS reports_id_seq;
CREATE TABLE IF NOT EXISTS reports (
    id        BIGINT NOT NULL DEFAULT nextval('reports_id_seq'),
    received  BIGINT NOT NULL,              -- Unix time
    epoch     BIGINT,                       -- its 16 hex digits: lpad(to_hex(epoch), 16, '0')
    seq       BIGINT,
    bw_up     BIGINT NOT NULL,
    bw_dn     BIGINT NOT NULL,
    billed_up BIGINT NOT NULL,
    billed_dn BIGINT NOT NULL,
    serial    TEXT NOT NULL,
    kind      TEXT NOT NULL CHECK (kind IN ('full', 'resent', 'old', 'plain')),
    iccid     TEXT
) PARTITION BY RANGE (received);
ALTER TABLE reports ADD COLUMN IF NOT EXISTS iccid TEXT;  -- a ledger of the layout before SIMs
ALTER SEQUENCE reports_id_seq OWNED BY reports.id;
-- Reports of a month without its partition yet (maintain.php not run): kept here until it is.
CREATE TABLE IF NOT EXISTS reports_default PARTITION OF reports DEFAULT;
