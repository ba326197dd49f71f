<?php
// Keeps tolvu's raw reports to their retention; run daily from cron, and once after the schema
// is applied. The bill never needs them (the rule reads routers, the pages router_days), so
// billing stays exact across a drop.
//
// PostgreSQL: reports has a partition a month. This makes the partitions of this month and the
// next two (moving into them any reports that waited in reports_default), and drops every
// partition whose whole month ended more than the retention ago. SQLite: deletes the reports
// received more than the retention ago, a bounded batch per transaction, so that reports wait
// for it only briefly.
//
//   php maintain.php [--dsn DSN] [--retention-days 31] [--now YYYY-MM-DD]
//
// The DSN is TOLVU_DSN's (default sqlite:/var/lib/tolvu/ledger.sqlite); TOLVU_DB_USER and
// TOLVU_DB_PASSWORD from the environment if the database wants them. --now stands for today.

const DAY = 86400;
const MONTHS_AHEAD = 2;
const DELETE_BATCH = 5000;
// Its locks are waited for briefly and tried again, so that reports never queue behind it long.
const LOCK_TIMEOUT_MS = 1000;
const ATTEMPTS = 5;

function fail(string $text): void
{
    fwrite(STDERR, "maintain.php: $text\n");
    exit(1);
}

function say(string $text): void
{
    echo $text, "\n";
}

// [start, end) of the month that holds $time, in Unix time (UTC).
function month_of(int $time): array
{
    $start = gmmktime(0, 0, 0, (int)gmdate('n', $time), 1, (int)gmdate('Y', $time));
    return [$start, gmmktime(0, 0, 0, (int)gmdate('n', $start) + 1, 1, (int)gmdate('Y', $start))];
}

function partition_name(int $start): string
{
    return 'reports_' . gmdate('Y_m', $start);
}

// Runs $work in a transaction whose lock waits are bounded, again after a lock not had.
function with_lock(PDO $db, callable $work): void
{
    for ($attempt = 1; ; $attempt++) {
        try {
            $db->beginTransaction();
            $db->exec('SET LOCAL lock_timeout = ' . LOCK_TIMEOUT_MS);
            $work();
            $db->commit();
            return;
        } catch (PDOException $e) {
            $db->inTransaction() && $db->rollBack();
            if (($e->errorInfo[0] ?? '') !== '55P03' || $attempt === ATTEMPTS) {
                throw $e;
            }
            sleep($attempt);
        }
    }
}

function postgresql(PDO $db, int $now, int $cutoff): void
{
    $attached = $db->query('SELECT c.relname FROM pg_inherits i JOIN pg_class c'
                           . " ON c.oid = i.inhrelid WHERE i.inhparent = 'reports'::regclass")
        ->fetchAll(PDO::FETCH_COLUMN);
    // 1. This month and the next ones, and any month that has reports waiting in the default.
    $months = [];
    $start = month_of($now)[0];
    for ($n = 0; $n <= MONTHS_AHEAD; $n++) {
        $months[$start] = true;
        $start = month_of($start)[1];
    }
    $waiting = $db->query("SELECT DISTINCT extract(epoch FROM date_trunc('month',"
                          . " to_timestamp(received) AT TIME ZONE 'UTC'))::bigint"
                          . ' FROM reports_default');
    foreach ($waiting->fetchAll(PDO::FETCH_COLUMN) as $start) {
        $months[(int)$start] = true;
    }
    ksort($months);
    foreach (array_keys($months) as $start) {
        [$start, $end] = month_of($start);
        $name = partition_name($start);
        if (in_array($name, $attached, true) || $end <= $cutoff) {
            continue;
        }
        with_lock($db, function () use ($db, $name, $start, $end) {
            $db->exec("CREATE TABLE $name (LIKE reports INCLUDING DEFAULTS INCLUDING CONSTRAINTS,"
                      . " CHECK (received >= $start AND received < $end))");
            $moved = $db->exec('WITH moved AS (DELETE FROM reports_default'
                               . " WHERE received >= $start AND received < $end RETURNING *)"
                               . " INSERT INTO $name SELECT * FROM moved");
            $db->exec("ALTER TABLE reports ATTACH PARTITION $name"
                      . " FOR VALUES FROM ($start) TO ($end)");
            say("made $name" . ($moved ? " ($moved reports moved from reports_default)" : ''));
        });
    }
    // 2. Months ended more than the retention ago, in whole; reports in the default as well.
    foreach ($attached as $name) {
        if (!preg_match('/^reports_(\d{4})_(\d{2})\z/', $name, $m)) {
            continue;
        }
        [, $end] = month_of(gmmktime(0, 0, 0, (int)$m[2], 1, (int)$m[1]));
        if ($end <= $cutoff) {
            with_lock($db, fn() => $db->exec("DROP TABLE $name"));
            say("dropped $name");
        }
    }
    $expired = 0;
    with_lock($db, function () use ($db, $cutoff, &$expired) {
        $expired = $db->exec("DELETE FROM reports_default WHERE received < $cutoff");
    });
    if ($expired) {
        say("deleted $expired reports from reports_default");
    }
}

// The first report id received at or after $cutoff: ids grow with time (one writer at a time),
// so a binary search over the ids, without an index on the time.
function first_kept_id(PDO $db, int $cutoff): int
{
    $at = $db->prepare('SELECT id, received FROM reports WHERE id >= ? ORDER BY id LIMIT 1');
    [$low, $high] = [(int)$db->query('SELECT IFNULL(MIN(id), 0) FROM reports')->fetchColumn(),
                     (int)$db->query('SELECT IFNULL(MAX(id), 0) + 1 FROM reports')->fetchColumn()];
    while ($low < $high) {
        $middle = intdiv($low + $high, 2);
        $at->execute([$middle]);
        $row = $at->fetch(PDO::FETCH_NUM);
        if ($row !== false && (int)$row[1] < $cutoff) {
            $low = (int)$row[0] + 1;
        } else {
            $high = $middle;
        }
    }
    return $low;
}

function sqlite(PDO $db, int $cutoff): void
{
    $keep = first_kept_id($db, $cutoff);
    $deleted = 0;
    // The bound id is cast: PDO binds it as text, and SQLite orders any integer before any text,
    // so MIN() would pass over it and the batch would take reports still within the retention.
    $batch = $db->prepare('DELETE FROM reports WHERE id < MIN(CAST(? AS INTEGER),'
                          . ' (SELECT MIN(id) FROM reports) + ' . DELETE_BATCH . ')');
    do {
        $db->exec('BEGIN IMMEDIATE');
        $batch->execute([$keep]);
        $db->exec('COMMIT');
        $deleted += $batch->rowCount();
    } while ($batch->rowCount() > 0);
    say("deleted $deleted reports received before " . gmdate('Y-m-d H:i:s', $cutoff) . ' UTC');
}

$options = getopt('', ['dsn:', 'retention-days:', 'now:']);
$dsn = $options['dsn'] ?? getenv('TOLVU_DSN') ?: 'sqlite:/var/lib/tolvu/ledger.sqlite';
$retention = $options['retention-days'] ?? '31';
if (!ctype_digit($retention) || (int)$retention < 1 || (int)$retention > 36600) {
    fail('--retention-days is a number of days from 1 to 36600');
}
$now = time();
if (isset($options['now'])) {
    $day = DateTimeImmutable::createFromFormat('!Y-m-d', $options['now'], new DateTimeZone('UTC'));
    if ($day === false || $day->format('Y-m-d') !== $options['now']) {
        fail('--now is a date (YYYY-MM-DD)');
    }
    $now = $day->getTimestamp();
}
$cutoff = $now - (int)$retention * DAY;
try {
    $db = new PDO($dsn, getenv('TOLVU_DB_USER') ?: null, getenv('TOLVU_DB_PASSWORD') ?: null,
                  [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_TIMEOUT => 10]);
    if ($db->getAttribute(PDO::ATTR_DRIVER_NAME) === 'sqlite') {
        sqlite($db, $cutoff);
    } else {
        postgresql($db, $now, $cutoff);
    }
} catch (PDOException $e) {
    fail($e->getMessage());
}
