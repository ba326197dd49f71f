-- An earlier kit's ledger on SQLite carried over to this kit's, in one transaction with the
-- schema. server/install runs it when the ledger's reports has the earlier kit's client column
-- (and router_days, if there, no rows):
--   { echo 'BEGIN IMMEDIATE;'; sed '/^-- @schema/,$d' migrate.sqlite.sql; cat schema.sqlite.sql;
--     sed '1,/^-- @schema/d' migrate.sqlite.sql; echo 'COMMIT;'; } | sqlite3 -bail ledger.sqlite
-- The earlier kit kept every report in one table, reports, with its client; routers was as it is
-- now. Its reports are kept as they were, renamed reports_earlier (its indexes with it), for
-- disputes: this kit's raw reports go to reports and are kept to the retention, reports_earlier
-- until it is dropped by hand. routers is kept as it is: the rule goes on from each router's last
-- accepted epoch, seq and figures. router_days is filled from the earlier reports, a router's day
-- as bandwidth.php bills it (to no SIM, iccid '': the earlier kit kept none), each figure an
-- integer or past 2^63 - 1 its decimal text, summed as billions and rest (SUM fails past 2^63 - 1).
-- The earlier kit's router_days (never written, its figures typed INTEGER, which would turn a
-- figure past 2^63 - 1 into a float) and the page's cache are dropped and made anew.

DROP TABLE IF EXISTS router_days;
DROP TABLE IF EXISTS fleet_days;
DROP TABLE IF EXISTS period_cache;
DROP TABLE IF EXISTS period_totals;
ALTER TABLE reports RENAME TO reports_earlier;

-- @schema: schema.sqlite.sql, then the rest

INSERT INTO router_days (serial, day, up, down, reports, resent)
    SELECT serial, day,
           CASE WHEN uh < 9223372036 OR (uh = 9223372036 AND ul <= 854775807)
                THEN uh * 1000000000 + ul ELSE uh || printf('%09d', ul) END,
           CASE WHEN dh < 9223372036 OR (dh = 9223372036 AND dl <= 854775807)
                THEN dh * 1000000000 + dl ELSE dh || printf('%09d', dl) END,
           n, caught
      FROM (SELECT serial, day, uh + ul / 1000000000 AS uh, ul % 1000000000 AS ul,
                   dh + dl / 1000000000 AS dh, dl % 1000000000 AS dl, n, caught
              FROM (SELECT serial, date(received, 'unixepoch') AS day,
                           SUM(billed_up / 1000000000) AS uh, SUM(billed_up % 1000000000) AS ul,
                           SUM(billed_dn / 1000000000) AS dh, SUM(billed_dn % 1000000000) AS dl,
                           COUNT(*) AS n, SUM(kind IN ('resent', 'old')) AS caught
                      FROM reports_earlier GROUP BY serial, day));
