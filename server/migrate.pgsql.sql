-- An earlier kit's ledger on PostgreSQL carried over to this kit's, in one transaction with the
-- schema; server/install runs it every time (it changes nothing on a ledger of this kit):
--   { sed '/^-- @schema/,$d' migrate.pgsql.sql; cat schema.pgsql.sql;
--     sed '1,/^-- @schema/d' migrate.pgsql.sql; } | psql -d tolvu -v ON_ERROR_STOP=1 -1 -f -
-- The earlier kit kept every report in one table, reports, with its client; routers was as it is
-- now. Its reports are kept as they were, renamed reports_earlier (with their sequence and
-- indexes), for disputes: this kit's raw reports go to the partitioned reports and are kept to the
-- retention, reports_earlier until it is dropped by hand. routers is kept as it is: the rule goes
-- on from each router's last accepted epoch, seq and figures. router_days is filled from the
-- earlier reports, a router's day as bandwidth.php bills it (what was billed, the reports received,
-- the copies caught; to no SIM, iccid '': the earlier kit kept none), so that the page and the CSV
-- go on with the same figures. The page's cache, if any, is dropped and made again.

DO $$
BEGIN
    IF to_regclass('reports') IS NULL OR NOT EXISTS (
            SELECT FROM pg_attribute WHERE attrelid = to_regclass('reports')
            AND attname = 'client' AND NOT attisdropped) THEN
        RETURN;  -- no ledger yet, or one of this kit
    END IF;
    IF to_regclass('reports_earlier') IS NOT NULL THEN
        RAISE EXCEPTION 'an earlier kit''s reports, and reports_earlier already: nothing changed'
            USING HINT = 'see "An earlier kit''s ledger" in docs/operators.md';
    END IF;
    -- The earlier kit's router_days was never written (its bandwidth.php billed reports only),
    -- and held its figures as BIGINT: dropped, and made anew by the schema, unless it has rows.
    IF to_regclass('router_days') IS NOT NULL THEN
        IF EXISTS (SELECT FROM router_days) THEN
            RAISE EXCEPTION 'an earlier kit''s reports, and router_days with rows: nothing changed'
                USING HINT = 'see "An earlier kit''s ledger" in docs/operators.md';
        END IF;
        DROP TABLE router_days;
    END IF;
    DROP TABLE IF EXISTS fleet_days, period_cache, period_totals;
    ALTER TABLE reports RENAME TO reports_earlier;
    ALTER INDEX IF EXISTS reports_pkey RENAME TO reports_earlier_pkey;
    ALTER INDEX IF EXISTS reports_by_time RENAME TO reports_earlier_by_time;
    ALTER INDEX IF EXISTS reports_by_serial RENAME TO reports_earlier_by_serial;
    ALTER SEQUENCE IF EXISTS reports_id_seq RENAME TO reports_earlier_id_seq;
    CREATE TEMPORARY TABLE tolvu_carried_over () ON COMMIT DROP;
    RAISE NOTICE 'an earlier kit''s ledger: its reports kept as reports_earlier, router_days'
        ' filled from them';
END $$;

-- @schema: schema.pgsql.sql, then the rest

DO $$
BEGIN
    IF to_regclass('pg_temp.tolvu_carried_over') IS NULL THEN
        RETURN;
    END IF;
    -- The routers' latest days made once from the whole, not by the trigger a row at a time
    -- (each row's update of its router's row, a router's history long).
    ALTER TABLE router_days DISABLE TRIGGER router_days_latest;
    INSERT INTO router_days (serial, day, up, down, reports, resent)
        SELECT serial, (to_timestamp(received) AT TIME ZONE 'UTC')::date, SUM(billed_up),
               SUM(billed_dn), COUNT(*), COUNT(*) FILTER (WHERE kind IN ('resent', 'old'))
          FROM reports_earlier GROUP BY 1, 2;
    ALTER TABLE router_days ENABLE TRIGGER router_days_latest;
    PERFORM routers_latest_days();
    -- This kit's report ids go on after the earlier ones.
    PERFORM setval('reports_id_seq', MAX(id)) FROM reports_earlier HAVING MAX(id) IS NOT NULL;
    DROP TABLE pg_temp.tolvu_carried_over;
END $$;
