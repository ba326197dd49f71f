<?php
// The operator's view of tolvu's ledger, for a fleet: every router the ledger knows, a page of
// at most 100 at a time, sorted by serial, total or last report and searched by serial, the
// routers gone silent first; the fleet's total per day as a chart; one router's chart at the top
// when one is picked; and the CSV of the whole fleet, streamed. It reads router_days (one row a
// router a day), never the raw reports. Serve it behind HTTP basic auth or client certificates,
// never on the routers' endpoint (see nginx.conf).
//
// Parameters: from, to (YYYY-MM-DD, UTC days, both included; by default this month so far),
// serial (one router's days), q (part of a serial), sort (serial, total or last), dir (asc or
// desc), page (from 1), format (html or csv). A parameter that is not one of these is 400.
//
// Every figure is exact to the byte whatever its size, and no total passes through a float.
// PostgreSQL keeps a router's day as NUMERIC and sums it exactly. SQLite keeps it as an integer,
// or past 2^63 - 1 as its decimal text, and cannot sum past 2^63 - 1: it sums each figure's
// billions and its rest apart (see exact_sum) and the page joins them as decimal text. The
// cache tables hold their figures the same way.

const PAGE_SIZE = 100;
const CSV_CHUNK = 1000;        // routers a query while the CSV streams
const DAY = 86400;
const DAY_SETTLED = 600;       // a day's rows no longer change this long after its end
const SILENT_AFTER = 720;      // seconds without a report: 3 of the service's default intervals
const SORTS = ['serial' => 'asc', 'total' => 'desc', 'last' => 'asc'];  // and their default dir
// PostgreSQL's key for sorting by total: the total, or this if it is larger (2^60).
const SORT_KEY_MAX = '1152921504606846976';
const DEEP_OFFSET = 2000;      // from this offset on, the page by total is found by its key

function fail(int $status, string $text): never
{
    http_response_code($status);
    header('Content-Type: text/plain');
    echo $text, "\n";
    exit;
}

// A page parameter as text (null: not given, or empty), or 400: PHP hands "from[]=x" over as
// an array.
function parameter(string $name): ?string
{
    $text = $_GET[$name] ?? '';
    if (!is_string($text) || str_contains($text, "\0")) {
        fail(400, "$name is not text");
    }
    return $text === '' ? null : $text;
}

function day(string $name, string $default): int
{
    $text = parameter($name) ?? $default;
    $time = DateTimeImmutable::createFromFormat('!Y-m-d', $text, new DateTimeZone('UTC'));
    if ($time === false || $time->format('Y-m-d') !== $text) {
        fail(400, "$name is not a date (YYYY-MM-DD)");
    }
    return $time->getTimestamp();
}

function h($text): string
{
    return htmlspecialchars((string)$text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
}

// ---- exact figures as decimal text

// a + b, both non-negative decimal integers of any length.
function decimal_sum(string $a, string $b): string
{
    $sum = '';
    $carry = 0;
    for ($i = strlen($a), $j = strlen($b); $i > 0 || $j > 0 || $carry; $i -= 9, $j -= 9) {
        $chunk = $carry + ($i > 0 ? (int)substr($a, max(0, $i - 9), min(9, $i)) : 0)
            + ($j > 0 ? (int)substr($b, max(0, $j - 9), min(9, $j)) : 0);
        $carry = intdiv($chunk, 1000000000);
        $sum = str_pad((string)($chunk % 1000000000), 9, '0', STR_PAD_LEFT) . $sum;
    }
    $sum = ltrim($sum, '0');
    return $sum === '' ? '0' : $sum;
}

// The decimal text of an exact_sum() cell (null: no rows).
function exact_total($cell): string
{
    if ($cell === null) {
        return '0';
    }
    [$billions, $rest] = array_pad(explode(' ', (string)$cell, 2), 2, null);
    return $rest === null ? $billions : decimal_sum($billions . '000000000', $rest);
}

// A decimal text as SQLite keeps a figure: an integer up to 2^63 - 1, its text past it.
function figure_cell(string $decimal)
{
    // Compared as text: of the same length, digits order as the numbers do.
    $fits = strlen($decimal) < 19
        || (strlen($decimal) === 19 && strcmp($decimal, '9223372036854775807') <= 0);
    return $fits ? (int)$decimal : $decimal;
}

function dec_compare(string $a, string $b): int
{
    return strlen($a) <=> strlen($b) ?: strcmp($a, $b);
}

// A size in units of 1000, cut (never rounded up) to two decimals: "1.84 EB".
function bytes(string $count): string
{
    $units = ['B', 'kB', 'MB', 'GB', 'TB', 'PB', 'EB', 'ZB', 'YB'];
    $unit = min(intdiv(strlen($count) - 1, 3), count($units) - 1);
    if ($unit === 0) {
        return "$count B";
    }
    $whole = strlen($count) - 3 * $unit;
    return substr($count, 0, $whole) . '.' . substr($count, $whole, 2) . ' ' . $units[$unit];
}

// The height of a bar, total / max of the chart, in pixels: geometry only, never a figure.
function scaled(string $total, string $max, float $pixels): float
{
    return $max === '0' ? 0.0 : $pixels * (float)$total / (float)$max;
}

function age(int $seconds): string
{
    if ($seconds < 120) {
        return "$seconds s";
    }
    if ($seconds < 7200) {
        return intdiv($seconds, 60) . ' min';
    }
    return $seconds < 172800 ? intdiv($seconds, 3600) . ' h' : intdiv($seconds, 86400) . ' days';
}

// ---- the request

// The view asked for: the period, the router, the search, the order and the page.
function view(): array
{
    $from = day('from', gmdate('Y-m-01'));
    $to = day('to', gmdate('Y-m-d'));
    if ($to < $from) {
        fail(400, 'to is before from');
    }
    // A serial, or part of one, that no router can have (not UTF-8, or too long).
    $serial = fn(string $name): ?string => ($text = parameter($name)) === null
        || (strlen($text) <= 127 && preg_match('//u', $text))
        ? $text : fail(400, "$name is not a serial (UTF-8, at most 127 bytes)");
    $sort = parameter('sort') ?? 'serial';
    if (!isset(SORTS[$sort])) {
        fail(400, 'sort is serial, total or last');
    }
    $dir = parameter('dir') ?? SORTS[$sort];
    if ($dir !== 'asc' && $dir !== 'desc') {
        fail(400, 'dir is asc or desc');
    }
    $page = parameter('page') ?? '1';
    if (!ctype_digit($page) || strlen($page) > 9 || (int)$page < 1) {
        fail(400, 'page is a number from 1');
    }
    $format = parameter('format') ?? 'html';
    if ($format !== 'html' && $format !== 'csv') {
        fail(400, 'format is html or csv');
    }
    $silent = (int)($_SERVER['TOLVU_SILENT_AFTER'] ?? SILENT_AFTER);
    return ['from' => gmdate('Y-m-d', $from), 'to' => gmdate('Y-m-d', $to),
            'days' => intdiv($to - $from, DAY) + 1,
            'serial' => $serial('serial'), 'q' => $serial('q'), 'sort' => $sort, 'dir' => $dir,
            'page' => (int)$page, 'csv' => $format === 'csv',
            'silent_after' => $silent > 0 ? $silent : SILENT_AFTER,
            'now' => time()];
}

// The last day of the view whose rows are settled (no report is still being billed to it), as
// YYYY-MM-DD; before the period's first day if none is.
function settled_through(array $v): string
{
    $last = min(strtotime($v['to'] . ' UTC'), intdiv($v['now'] - DAY_SETTLED, DAY) * DAY - DAY);
    return gmdate('Y-m-d', $last);
}

// The view's days that are not settled yet, up to today: at most two.
function open_days(array $v): array
{
    $days = [];
    $last = min(strtotime($v['to'] . ' UTC'), intdiv($v['now'], DAY) * DAY);
    for ($t = strtotime(settled_through($v) . ' UTC') + DAY; $t <= $last; $t += DAY) {
        if ($t >= strtotime($v['from'] . ' UTC')) {
            $days[] = gmdate('Y-m-d', $t);
        }
    }
    return $days;
}

// ---- the queries: each dialect's exact sums

// SQLite's billions of a figure (an integer, or its decimal text past 2^63 - 1), and its rest.
function billions(string $c): string
{
    return "(CASE WHEN typeof($c) = 'integer' THEN $c / 1000000000"
        . " ELSE CAST(substr($c, 1, length($c) - 9) AS INTEGER) END)";
}

function rest(string $c): string
{
    return "(CASE WHEN typeof($c) = 'integer' THEN $c % 1000000000"
        . " ELSE CAST(substr($c, -9) AS INTEGER) END)";
}

// SQL for the sum of a column, or of up + down, as $name, exact whatever its size, read back by
// exact_total(). PostgreSQL sums NUMERIC exactly. SQLite's SUM fails past 2^63 - 1, so it sums
// the figures' billions and their rest apart, as "billions rest".
function exact_sum(bool $sqlite, string $name, string ...$columns): string
{
    if (!$sqlite) {
        return 'SUM(' . implode(' + ', $columns) . ")::text AS $name";
    }
    $part = fn(string $f) => implode(' + ', array_map($f, $columns));
    return "SUM({$part('billions')}) || ' ' || SUM({$part('rest')}) AS $name";
}

function fetch_all(PDO $db, string $sql, array $args): array
{
    $query = $db->prepare($sql);
    $query->execute($args);
    $rows = $query->fetchAll(PDO::FETCH_ASSOC);
    if ($query->errorCode() !== '00000') {
        throw new PDOException('the ledger: ' . ($query->errorInfo()[2] ?? 'rows cut short'));
    }
    return $rows;
}

// The search as a WHERE clause on routers (alias t) and its arguments.
function search(bool $sqlite, ?string $q): array
{
    if ($q === null) {
        return ['1 = 1', []];
    }
    $pattern = '%' . strtr($q, ['\\' => '\\\\', '%' => '\\%', '_' => '\\_']) . '%';
    return ['t.serial ' . ($sqlite ? 'LIKE' : 'ILIKE') . " ? ESCAPE '\\'", [$pattern]];
}

// The fleet's bytes up and down for every day of the view that has any: day => [up, down].
// Settled days come from fleet_days, which this fills the first time a day is asked for (with
// their reports, re-sends and routers); the others are summed from router_days each time.
function fleet_days(PDO $db, bool $sqlite, array $v): array
{
    $settled = settled_through($v);
    $sum = fn(string $first, string $last, string $more = '') => fetch_all($db,
        'SELECT day, ' . exact_sum($sqlite, 'up', 'up') . ', ' . exact_sum($sqlite, 'down', 'down')
        . "$more FROM router_days WHERE day >= ? AND day <= ? GROUP BY day", [$first, $last]);
    $rows = [];
    if ($settled >= $v['from']) {
        $rows = fetch_all($db, 'SELECT * FROM fleet_days WHERE day >= ? AND day <= ?',
                          [$v['from'], $settled]);
        $have = array_column($rows, 'day');
        $missing = [];
        for ($t = strtotime($v['from'] . ' UTC'); gmdate('Y-m-d', $t) <= $settled; $t += DAY) {
            if (!in_array(gmdate('Y-m-d', $t), $have, true)) {
                $missing[] = gmdate('Y-m-d', $t);
            }
        }
        if ($missing) {
            $made = $sum($missing[0], end($missing), ', SUM(reports) AS reports, SUM(resent)'
                         . ' AS resent, COUNT(DISTINCT serial) AS routers');
            $byday = array_column($made, null, 'day');
            $insert = $db->prepare('INSERT INTO fleet_days (day, up, down, reports, resent,'
                                   . ' routers) VALUES (?, ?, ?, ?, ?, ?)'
                                   . ' ON CONFLICT (day) DO NOTHING');
            foreach ($missing as $d) {
                $r = $byday[$d] ?? ['day' => $d, 'up' => null, 'down' => null, 'reports' => 0,
                                    'resent' => 0, 'routers' => 0];
                [$r['up'], $r['down']] = [exact_total($r['up']), exact_total($r['down'])];
                $insert->execute([$d, $sqlite ? figure_cell($r['up']) : $r['up'],
                                  $sqlite ? figure_cell($r['down']) : $r['down'],
                                  $r['reports'] ?? 0, $r['resent'] ?? 0, $r['routers']]);
                $rows[] = $r;
            }
        }
    }
    $open = open_days($v);
    if ($open) {
        foreach ($sum($open[0], end($open)) as $r) {
            [$r['up'], $r['down']] = [exact_total($r['up']), exact_total($r['down'])];
            $rows[] = $r;
        }
    }
    $days = [];
    foreach ($rows as $r) {
        $days[$r['day']] = [(string)$r['up'], (string)$r['down']];
    }
    return $days;
}

// The key under which period_totals holds the view's settled days, made if missing (one pass
// over router_days for the period); null when the view has no settled day.
function period_totals(PDO $db, bool $sqlite, array $v): ?string
{
    $settled = settled_through($v);
    if ($settled < $v['from']) {
        return null;
    }
    $key = $v['from'] . '/' . $settled;
    $made = fetch_all($db, 'SELECT made FROM period_cache WHERE period = ?', [$key]);
    if ($made) {
        return $key;
    }
    $sqlite ? $db->exec('BEGIN IMMEDIATE') : $db->beginTransaction();
    try {
        $stale = 'SELECT period FROM period_cache WHERE made < ?';
        $db->prepare("DELETE FROM period_totals WHERE period IN ($stale)")
            ->execute([$v['now'] - DAY]);
        $db->prepare('DELETE FROM period_cache WHERE made < ?')->execute([$v['now'] - DAY]);
        $mark = $db->prepare('INSERT INTO period_cache (period, made) VALUES (?, ?)'
                             . ' ON CONFLICT (period) DO NOTHING');
        $mark->execute([$key, $v['now']]);
        if ($mark->rowCount() === 1) {
            // SQLite: "billions rest" joined as router_days holds a figure (see figure_cell).
            // PostgreSQL: the exact total and its key for sorting, min(total, 2^60).
            $total = !$sqlite ? 'SUM(up + down), LEAST(SUM(up + down), ' . SORT_KEY_MAX . ')'
                : 'CASE WHEN h < 9223372036 OR (h = 9223372036'
                . ' AND l <= 854775807) THEN h * 1000000000 + l ELSE h || printf(\'%09d\', l) END'
                . ' FROM (SELECT serial, SUM(' . billions('up') . ' + ' . billions('down')
                . ') + SUM(' . rest('up') . ' + ' . rest('down') . ') / 1000000000 AS h,'
                . ' SUM(' . rest('up') . ' + ' . rest('down') . ') % 1000000000 AS l';
            $db->prepare('INSERT INTO period_totals (period, serial, total'
                         . ($sqlite ? '' : ', sort_key') . ') SELECT ?, serial, '
                         . $total
                         . ' FROM router_days WHERE day >= ? AND day <= ? GROUP BY serial'
                         . ($sqlite ? ')' : ''))
                ->execute([$key, $v['from'], $settled]);
        }
        $sqlite ? $db->exec('COMMIT') : $db->commit();
    } catch (PDOException $e) {
        try {
            $sqlite ? $db->exec('ROLLBACK') : $db->rollBack();
        } catch (PDOException $ignored) {
            // no transaction was open: nothing to undo
        }
        throw $e;
    }
    return $key;
}

// How many routers the search finds, and how many of them are silent.
function fleet_count(PDO $db, bool $sqlite, array $v): array
{
    [$where, $args] = search($sqlite, $v['q']);
    $row = fetch_all($db, 'SELECT COUNT(*) AS routers, SUM(CASE WHEN t.last_report < ? THEN 1'
                     . " ELSE 0 END) AS silent FROM routers t WHERE $where",
                     array_merge([$v['now'] - $v['silent_after']], $args))[0];
    return [(int)$row['routers'], (int)$row['silent']];
}

// The view's page of routers in its order, the silent ones first, each with its figures over
// the period: serial, last_report, client, silent, up, down, total, reports, resent. $count:
// the routers the search finds.
function fleet_page(PDO $db, bool $sqlite, array $v, int $count): array
{
    [$where, $args] = search($sqlite, $v['q']);
    $dir = $v['dir'] === 'asc' ? 'ASC' : 'DESC';
    $join = '';
    $joinargs = [];
    if ($v['sort'] === 'total') {
        // The settled days' totals from the cache, and each day still open (today, and
        // yesterday for a few minutes after midnight).
        $key = period_totals($db, $sqlite, $v);
        $join = ' LEFT JOIN period_totals p ON p.period = ? AND p.serial = t.serial';
        $joinargs = [$key ?? ''];
        if ($sqlite) {
            // SQLite: each open day's rows (one a router a day and SIM) summed a router and
            // joined, as billions and rest, each summed in 64 bits.
            $split = [[billions('p.total'), rest('p.total')]];
            foreach (open_days($v) as $n => $day) {
                $join .= ' LEFT JOIN (SELECT serial, SUM(' . billions('up') . ' + '
                    . billions('down') . ') AS h, SUM(' . rest('up') . ' + ' . rest('down')
                    . ") AS l FROM router_days WHERE day = ? GROUP BY serial) o$n"
                    . " ON o$n.serial = t.serial";
                $joinargs[] = $day;
                $split[] = ["o$n.h", "o$n.l"];
            }
            $part = fn(int $i) => implode(' + ', array_map(fn($c) => "COALESCE($c[$i], 0)",
                                                           $split));
            [$high, $low] = [$part(0), $part(1)];
            $order = [["($high) + ($low) / 1000000000", $dir], ["($low) % 1000000000", $dir]];
        } else {
            // PostgreSQL: the total's key in 64 bits, min(total, 2^60): the settled days' (cached
            // so) and each open day's, which the router's row keeps as reports are billed (its
            // latest day and the one before, each summed across SIMs and taken up to 2^60: a
            // trigger on router_days), so that no view sums the open days' rows; three such keys
            // fit in 64 bits. Below 2^60 it is the total; routers at it (1.15 EB or more) are
            // ordered by their exact NUMERIC total, whose open days are summed for them only. The
            // days are gmdate()'s.
            $open = open_days($v);
            $keys = ['COALESCE(p.sort_key, 0)'];
            foreach ($open as $day) {
                $keys[] = "CASE WHEN t.day = DATE '$day' THEN t.day_key"
                    . " WHEN t.prev_day = DATE '$day' THEN t.prev_key ELSE 0 END";
            }
            $key = 'LEAST(' . implode(' + ', $keys) . ', ' . SORT_KEY_MAX . ')';
            $exact = 'COALESCE(p.total, 0)' . (!$open ? '' : ' + COALESCE((SELECT SUM(r.up'
                . ' + r.down) FROM router_days r WHERE r.serial = t.serial AND r.day IN (DATE \''
                . implode("', DATE '", $open) . "')), 0)");
            $order = [[$key, $dir], ["CASE WHEN $key = " . SORT_KEY_MAX . " THEN $exact END",
                                     $dir]];
        }
    } else {
        $order = $v['sort'] === 'last' ? [['t.last_report', $dir]] : [];
    }
    $order = array_merge([['silent', 'DESC']], $order, [['t.serial', $dir]]);
    // A page past the middle is read from the other end: a database sorts the fewer rows.
    $offset = ($v['page'] - 1) * PAGE_SIZE;
    $limit = PAGE_SIZE;
    $backwards = $offset > $count / 2;
    if ($backwards) {
        $limit = max(0, min(PAGE_SIZE, $count - $offset));
        $offset = max(0, $count - $offset - PAGE_SIZE);
        $order = array_map(fn($o) => [$o[0], $o[1] === 'ASC' ? 'DESC' : 'ASC'], $order);
    }
    // PostgreSQL, a page deep in the fleet by total: the fleet's keys (the silent ones' moved
    // ahead) sorted as bare 64-bit values, to find the key the page starts at; then only the
    // routers from that key on are sorted, whole rows, as far as the page. A full sort of every
    // router's row to the offset costs several times more.
    $select = 'SELECT t.serial, t.last_report, t.client, CASE WHEN t.last_report < ? THEN 1'
        . " ELSE 0 END AS silent FROM routers t$join WHERE $where";
    $cutoff = [$v['now'] - $v['silent_after']];
    if (!$sqlite && $join !== '' && $offset >= DEEP_OFFSET) {
        // The silent routers' keys moved past every other router's, 2^61 on, the side that
        // comes first; the order of the rows from the key on is the page's own.
        [$silent, $key, $exact] = array_column($order, 1);
        $ahead = $silent === $key ? 'THEN 2305843009213693952 ELSE 0'
            : 'THEN 0 ELSE 2305843009213693952';
        $before = $key === 'DESC' ? '>' : '<';
        $select = "WITH f AS MATERIALIZED ($select), b AS (SELECT (array_agg(v ORDER BY v $key))"
            . '[' . ($offset + 1) . '] AS bound FROM f)'
            . " SELECT serial, last_report, client, silent FROM f WHERE NOT v $before"
            . " (SELECT bound FROM b) ORDER BY v $key, ex $key, serial $key LIMIT $limit"
            . " OFFSET (SELECT $offset - COUNT(*) FROM f WHERE v $before (SELECT bound FROM b))";
        $select = str_replace(' AS silent FROM routers t', " AS silent, CASE WHEN t.last_report"
                              . " < ? $ahead END + {$order[1][0]} AS v, {$order[2][0]} AS ex"
                              . ' FROM routers t', $select);
        $cutoff[] = $cutoff[0];
    } else {
        $select .= ' ORDER BY ' . implode(', ', array_map(fn($o) => "$o[0] $o[1]", $order))
            . " LIMIT $limit OFFSET $offset";
    }
    // The page's order and its figures from one snapshot, so that the totals shown are the
    // ones it was sorted by, though reports are billed meanwhile.
    $db->beginTransaction();
    if (!$sqlite) {
        $db->exec('SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY');
        if ($join !== '') {
            // Sorting the fleet by total: hash joins, every router's key once, where a nested
            // loop (which it picks for the LIMIT) looks each router up apart, several times
            // slower.
            $db->exec('SET LOCAL enable_nestloop = off');
        }
    }
    try {
        $routers = fetch_all($db, $select, array_merge($cutoff, $joinargs, $args));
        $routers = $backwards ? array_reverse($routers) : $routers;
        $figures = !$routers ? [] : fetch_all(
            $db, 'SELECT serial, ' . exact_sum($sqlite, 'up', 'up') . ', '
            . exact_sum($sqlite, 'down', 'down') . ', SUM(reports) AS reports,'
            . ' SUM(resent) AS resent FROM router_days WHERE serial IN ('
            . implode(', ', array_fill(0, count($routers), '?')) . ')'
            . ' AND day >= ? AND day <= ? GROUP BY serial',
            array_merge(array_column($routers, 'serial'), [$v['from'], $v['to']]));
        $db->commit();
    } catch (PDOException $e) {
        $db->inTransaction() && $db->rollBack();
        throw $e;
    }
    $figures = array_column($figures, null, 'serial');
    foreach ($routers as &$r) {
        $f = $figures[$r['serial']] ?? [];
        $r['up'] = exact_total($f['up'] ?? null);
        $r['down'] = exact_total($f['down'] ?? null);
        $r['total'] = decimal_sum($r['up'], $r['down']);
        $r['reports'] = (string)($f['reports'] ?? 0);
        $r['resent'] = (string)($f['resent'] ?? 0);
    }
    return $routers;
}

// One router: its routers row (or null); its figures for every day of the view that has any,
// day => [up, down, reports, resent]; each SIM's over the view, iccid ('' for traffic without
// one) => [up, down, reports, resent, first day, last day], in the order they were first seen;
// and its rows, a day and SIM each: [day, iccid, up, down, reports, resent].
function router_days(PDO $db, array $v): array
{
    $router = fetch_all($db, 'SELECT serial, last_report, client FROM routers WHERE serial = ?',
                        [$v['serial']])[0] ?? null;
    $rows = [];
    $days = [];
    $sims = [];
    foreach (fetch_all($db, 'SELECT day, iccid, up, down, reports, resent FROM router_days'
                       . ' WHERE serial = ? AND day >= ? AND day <= ? ORDER BY day, iccid',
                       [$v['serial'], $v['from'], $v['to']]) as $r) {
        $row = [(string)$r['up'], (string)$r['down'], (string)$r['reports'], (string)$r['resent']];
        $rows[] = array_merge([$r['day'], $r['iccid']], $row);
        $add = fn(?array $had) => $had === null ? $row
            : array_map(fn($a, $b) => decimal_sum($a, $b), array_slice($had, 0, 4), $row);
        $days[$r['day']] = $add($days[$r['day']] ?? null);
        $sims[$r['iccid']] = array_merge($add($sims[$r['iccid']] ?? null),
                                         [$sims[$r['iccid']][4] ?? $r['day'], $r['day']]);
    }
    return [$router, $days, $sims, $rows];
}

// ---- the CSV, streamed: the whole fleet, CSV_CHUNK routers at a time, or one router's days

function csv_out(PDO $db, bool $sqlite, array $v): void
{
    header('Content-Type: text/csv; charset=utf-8');
    header('Content-Disposition: attachment; filename="tolvu-usage-'
           . str_replace('-', '', $v['from']) . '-' . str_replace('-', '', $v['to'])
           . ($v['serial'] === null ? '' : '-' . rawurlencode($v['serial'])) . '.csv"');
    // A text cell that a spreadsheet would read as a formula (a serial or a certificate subject
    // starting with =, +, - or @) is kept as text.
    $cell = fn(?string $text): string => preg_match('/^[=+\-@\t\r]/', $text ?? '')
        ? "'" . $text : ($text ?? '');
    $out = fopen('php://output', 'w');
    // RFC 4180 quoting, without PHP's backslash escape (which other readers do not know, so that
    // a serial holding \" could shift the figures into other columns).
    $put = fn(array $cells) => fputcsv($out, $cells, ',', '"', '');
    // iccid, last: the SIM that carried the traffic, '' for traffic without one; a router's
    // rows are one a SIM (and a day).
    if ($v['serial'] !== null) {
        $put(['serial', 'day (UTC)', 'up', 'down', 'total', 'reports', 'resends caught',
              'iccid']);
        foreach (router_days($db, $v)[3] as [$day, $iccid, $up, $down, $reports, $resent]) {
            $put([$cell($v['serial']), $day, $up, $down, decimal_sum($up, $down), $reports,
                  $resent, $iccid]);
        }
        return;
    }
    $put(['serial', 'up', 'down', 'total', 'reports', 'resends caught', 'last report (UTC)',
          'client certificate', 'iccid']);
    $routers = $db->prepare('SELECT serial, last_report, client FROM routers WHERE serial > ?'
                            . ' ORDER BY serial LIMIT ' . CSV_CHUNK);
    $sums = 'SELECT serial, ' . exact_sum($sqlite, 'up', 'up') . ', '
        . exact_sum($sqlite, 'down', 'down') . ', SUM(reports) AS reports, SUM(resent) AS resent,'
        . ' iccid FROM router_days WHERE serial >= ? AND serial <= ? AND day >= ? AND day <= ?'
        . ' GROUP BY serial, iccid ORDER BY serial, iccid';
    for ($after = ''; ; $after = end($chunk)['serial']) {
        $routers->execute([$after]);
        $chunk = $routers->fetchAll(PDO::FETCH_ASSOC);
        if (!$chunk) {
            break;
        }
        // Prepared again for each chunk: PostgreSQL's generic plan for a statement run many
        // times reads the whole period by day instead of the chunk's routers by serial.
        $figures = [];
        foreach (fetch_all($db, $sums, [$chunk[0]['serial'], end($chunk)['serial'], $v['from'],
                                        $v['to']]) as $f) {
            $figures[$f['serial']][] = $f;
        }
        foreach ($chunk as $r) {
            // No row: nothing billed in the period.
            foreach ($figures[$r['serial']] ?? [] as $f) {
                $up = exact_total($f['up']);
                $down = exact_total($f['down']);
                $put([$cell($r['serial']), $up, $down, decimal_sum($up, $down), $f['reports'],
                      $f['resent'], gmdate('Y-m-d H:i:s', (int)$r['last_report']),
                      $cell($r['client']), $f['iccid']]);
            }
        }
        fflush($out);
        flush();
    }
}

// ---- the page

function link_to(array $v, array $change): string
{
    $keep = ['from' => $v['from'], 'to' => $v['to'], 'q' => $v['q'], 'sort' => $v['sort'],
             'dir' => $v['dir'], 'serial' => $v['serial'], 'page' => $v['page']];
    return h('?' . http_build_query(array_filter($change + $keep, fn($x) => $x !== null)));
}

// An SVG bar chart with a slot for every day of the view, empty or holding its bar.
// $totals: day => total bytes (days without traffic may be left out).
function chart(string $id, array $v, array $totals, string $label): string
{
    $width = 720;
    $height = 190;
    $top = 22;
    $bottom = 36;
    $left = 80;
    $max = '0';
    foreach ($totals as $t) {
        $max = dec_compare($t, $max) > 0 ? $t : $max;
    }
    $slot = $width / $v['days'];
    $tick = max(1, (int)ceil($v['days'] / 15));
    $svg = sprintf('<svg id="%s" xmlns="http://www.w3.org/2000/svg" width="%d" height="%d"'
                   . ' role="img" aria-label="%s">', h($id), $width + $left + 10, $height,
                   h($label))
        . sprintf('<text x="%d" y="%d" text-anchor="end">%s</text>', $left - 6, $top + 4,
                  h(bytes($max)))
        . sprintf('<text x="%d" y="%d" text-anchor="end">0</text>', $left - 6, $height - $bottom);
    for ($i = 0, $t = strtotime($v['from'] . ' UTC'); $i < $v['days']; $i++, $t += DAY) {
        $day = gmdate('Y-m-d', $t);
        $total = $totals[$day] ?? '0';
        $x = $left + $i * $slot;
        $bar = scaled($total, $max, $height - $top - $bottom);
        $svg .= sprintf('<g class="day%s" data-day="%s" data-total="%s"><title>%s: %s (%s bytes)'
                        . '</title><rect class="slot" x="%.1f" y="%d" width="%.1f" height="%d"/>',
                        $total === '0' ? ' empty' : '', $day, $total, $day, bytes($total), $total,
                        $x + $slot * 0.1, $top, $slot * 0.8, $height - $top - $bottom)
            . ($total === '0' ? '' : sprintf('<rect class="bar" x="%.1f" y="%.1f" width="%.1f"'
                                             . ' height="%.1f"/>', $x + $slot * 0.1,
                                             $height - $bottom - $bar, $slot * 0.8, $bar))
            . '</g>';
        if ($i % $tick === 0) {
            $svg .= sprintf('<text x="%.1f" y="%d" text-anchor="middle">%s</text>',
                            $x + $slot / 2, $height - $bottom + 14, substr($day, 5));
        }
    }
    return $svg . sprintf('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="#888"/></svg>', $left,
                          $height - $bottom, $left + $width, $height - $bottom);
}

function pager(array $v, int $routers): string
{
    $pages = max(1, (int)ceil($routers / PAGE_SIZE));
    $out = '<p class="pager">page ' . $v['page'] . ' of ' . $pages;
    foreach ([['first', 1], ['previous', $v['page'] - 1], ['next', $v['page'] + 1],
              ['last', $pages]] as [$name, $page]) {
        $out .= $page >= 1 && $page <= $pages && $page !== $v['page']
            ? ' <a class="' . $name . '" href="' . link_to($v, ['page' => $page]) . '">' . $name
              . '</a>'
            : ' <span>' . $name . '</span>';
    }
    return $out . '</p>';
}

function sort_link(array $v, string $sort, string $text): string
{
    $dir = $v['sort'] === $sort ? ($v['dir'] === 'asc' ? 'desc' : 'asc') : SORTS[$sort];
    $mark = $v['sort'] === $sort ? ($v['dir'] === 'asc' ? ' ▲' : ' ▼') : '';
    return '<a class="sort" data-sort="' . $sort . '" href="'
        . link_to($v, ['sort' => $sort, 'dir' => $dir, 'page' => 1]) . '">' . h($text) . $mark
        . '</a>';
}

function router_section(array $v, ?array $router, array $days, array $sims): void
{
    $up = $down = '0';
    $totals = [];
    foreach ($days as $day => [$u, $d]) {
        $up = decimal_sum($up, $u);
        $down = decimal_sum($down, $d);
        $totals[$day] = decimal_sum($u, $d);
    }
    $total = decimal_sum($up, $down);
    $silent = $router === null || (int)$router['last_report'] < $v['now'] - $v['silent_after'];
    ?>
<section id="router">
<h2><?= h($v['serial']) ?><?= $silent ? ' <span class="silent">silent</span>' : '' ?></h2>
<p><?php if ($router === null): ?>No report from this serial in the ledger.<?php else: ?>
 <span class="total" data-total="<?= $total ?>"><?= h(bytes($total)) ?></span> in the period
 (<?= $up ?> bytes up, <?= $down ?> down); last report
 <?= h(gmdate('Y-m-d H:i:s', (int)$router['last_report'])) ?> UTC,
 <?= h(age(max(0, $v['now'] - (int)$router['last_report']))) ?> ago.<?php endif; ?>
 <a href="<?= link_to($v, ['format' => 'csv']) ?>">CSV of its days</a> ·
 <a href="<?= link_to($v, ['serial' => null]) ?>">close</a></p>
<?= chart('router-chart', $v, $totals, 'bytes per day for ' . $v['serial']) ?>
<?php if (array_diff(array_keys($sims), [''])): ?>
<table id="sims">
<thead><tr><th>SIM (ICCID)</th><th>up (bytes)</th><th>down (bytes)</th><th>total (bytes)</th><th>total</th><th>reports</th><th>first day</th><th>last day</th></tr></thead>
<tbody>
<?php foreach ($sims as $iccid => [$u, $d, $reports, , $first, $last]): ?>
<tr data-iccid="<?= h($iccid) ?>"><td><?= $iccid === '' ? 'none reported' : h($iccid) ?></td>
<td class="n up"><?= $u ?></td><td class="n down"><?= $d ?></td>
<td class="n total"><?= decimal_sum($u, $d) ?></td><td class="n"><?= h(bytes(decimal_sum($u, $d))) ?></td>
<td class="n reports"><?= $reports ?></td><td class="first"><?= h($first) ?></td><td class="last"><?= h($last) ?></td></tr>
<?php endforeach; ?>
</tbody>
</table>
<?php endif; ?>
</section>
<?php
}

function page_out(PDO $db, bool $sqlite, array $v): void
{
    [$routers, $silent] = fleet_count($db, $sqlite, $v);
    $rows = fleet_page($db, $sqlite, $v, $routers);
    $fleet = fleet_days($db, $sqlite, $v);
    $picked = $v['serial'] === null ? null : router_days($db, $v);
    $period = $v['from'] . ' to ' . $v['to'];
    $sum = ['0', '0'];
    $totals = [];
    foreach ($fleet as $day => [$up, $down]) {
        $sum = [decimal_sum($sum[0], $up), decimal_sum($sum[1], $down)];
        $totals[$day] = decimal_sum($up, $down);
    }
    $minutes = intdiv($v['silent_after'], 60);
    header('Content-Type: text/html; charset=utf-8');
    ?>
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>tolvu usage, <?= h($period) ?></title>
<style>
body { font: 14px/1.4 sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; }
th, td { padding: 0.2em 0.7em; border-bottom: 1px solid #ddd; white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
th { text-align: left; background: #f3f3f3; }
tr.silent td { background: #fff1e6; }
.silent { color: #b34700; font-weight: bold; }
section#router { border: 1px solid #cfd8e3; padding: 0 1em 0.5em; margin-bottom: 1em; }
svg .slot { fill: #f1f3f6; }
svg .bar { fill: #3b78c2; }
svg text { font-size: 11px; fill: #444; }
.pager a, .pager span { margin-left: 0.4em; }
.pager span { color: #999; }
</style>
</head>
<body>
<h1>Usage, <?= h($period) ?> (UTC)</h1>
<form method="get">
 from <input type="date" name="from" value="<?= h($v['from']) ?>">
 to <input type="date" name="to" value="<?= h($v['to']) ?>">
 serial <input type="search" name="q" value="<?= h($v['q'] ?? '') ?>" placeholder="part of a serial">
 <input type="hidden" name="sort" value="<?= h($v['sort']) ?>">
 <input type="hidden" name="dir" value="<?= h($v['dir']) ?>">
 <button>Show</button> <a href="<?= link_to($v, ['format' => 'csv', 'serial' => null, 'page' => null]) ?>">CSV of the fleet</a>
</form>
<?php if ($picked !== null) { router_section($v, ...$picked); } ?>
<h2>The fleet: <span id="fleet-total" data-total="<?= decimal_sum($sum[0], $sum[1]) ?>"><?= h(bytes(decimal_sum($sum[0], $sum[1]))) ?></span></h2>
<p><?= $sum[0] ?> bytes up, <?= $sum[1] ?> down; sizes in units of 1000 (1 MB = 1,000,000 bytes).</p>
<?= chart('fleet-chart', $v, $totals, 'bytes per day for the fleet') ?>
<p id="counts"><span id="routers"><?= $routers ?></span> routers<?= $v['q'] === null ? '' : ' matching “' . h($v['q']) . '”' ?>,
 <span id="silent" class="silent"><?= $silent ?></span> silent (no report for <?= $minutes ?> min), listed first.</p>
<?= pager($v, $routers) ?>
<table id="fleet">
<thead><tr><th><?= sort_link($v, 'serial', 'serial') ?></th><th>up (bytes)</th><th>down (bytes)</th>
<th><?= sort_link($v, 'total', 'total (bytes)') ?></th><th>total</th><th>reports</th><th>re-sends caught</th>
<th><?= sort_link($v, 'last', 'last report (UTC)') ?></th><th>age</th><th>client certificate</th></tr></thead>
<tbody>
<?php foreach ($rows as $r): ?>
<tr data-serial="<?= h($r['serial']) ?>"<?= $r['silent'] ? ' class="silent"' : '' ?>><td><a href="<?= link_to($v, ['serial' => $r['serial']]) ?>"><?= h($r['serial']) ?></a></td>
<td class="n up"><?= $r['up'] ?></td><td class="n down"><?= $r['down'] ?></td>
<td class="n total"><?= $r['total'] ?></td><td class="n"><?= h(bytes($r['total'])) ?></td>
<td class="n reports"><?= $r['reports'] ?></td><td class="n resends"><?= $r['resent'] ?></td>
<td class="last" data-last="<?= (int)$r['last_report'] ?>"><?= h(gmdate('Y-m-d H:i:s', (int)$r['last_report'])) ?></td>
<td class="n"><?= h(age(max(0, $v['now'] - (int)$r['last_report']))) ?></td><td><?= h($r['client'] ?? '') ?></td></tr>
<?php endforeach; ?>
</tbody>
</table>
<?= pager($v, $routers) ?>
</body>
</html>
<?php
}

$v = view();
try {
    $db = new PDO($_SERVER['TOLVU_DSN'] ?? 'sqlite:/var/lib/tolvu/ledger.sqlite',
                  $_SERVER['TOLVU_DB_USER'] ?? null, $_SERVER['TOLVU_DB_PASSWORD'] ?? null,
                  [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_PERSISTENT => true,
                   PDO::ATTR_TIMEOUT => 10]);
    $sqlite = $db->getAttribute(PDO::ATTR_DRIVER_NAME) === 'sqlite';
    if (!$sqlite) {
        // A fleet's totals sorted in memory, not on disk; no JIT compiling (its 0.1 s or more
        // would buy nothing in queries this short).
        $db->exec("SET work_mem = '32MB'");
        $db->exec('SET jit = off');
    }
    if ($v['csv']) {
        csv_out($db, $sqlite, $v);
    } else {
        ob_start();  // the page whole, so that a failure halfway answers 503, not half a page
        page_out($db, $sqlite, $v);
        ob_end_flush();
    }
} catch (PDOException $e) {
    error_log('tolvu usage.php: ' . $e->getMessage());
    if (headers_sent()) {
        // The CSV was under way: its end says it is cut short, never a file that looks whole.
        echo "ERROR: the ledger could not be read; this file is incomplete\n";
        exit;
    }
    while (ob_get_level()) {
        ob_end_clean();
    }
    fail(503, 'the ledger cannot be read now');
}
