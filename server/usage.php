<?php
// The operator's view of tolvu's ledger: the fleet's usage over a period, one router's usage
// per day as a bar chart, and the same figures as CSV for billing. Every total is the
// database's own. Serve it behind HTTP basic auth or client certificates, never on the routers'
// endpoint (see nginx.conf).
//
// Parameters: from, to (YYYY-MM-DD, UTC days, both included; by default this month so far),
// serial (one router's days), format=csv.

function fail(int $status, string $text): void
{
    http_response_code($status);
    header('Content-Type: text/plain');
    echo $text, "\n";
    exit;
}

// A page parameter as text, or 400: PHP hands "from[]=x" over as an array.
function parameter(string $name, string $default): string
{
    $text = $_GET[$name] ?? $default;
    if (!is_string($text) || str_contains($text, "\0")) {
        fail(400, "$name is not text");
    }
    return $text;
}

function day(string $name, string $default): int
{
    $text = parameter($name, $default);
    $time = DateTimeImmutable::createFromFormat('!Y-m-d', $text, new DateTimeZone('UTC'));
    if ($time === false || $time->format('Y-m-d') !== $text) {
        fail(400, "$name is not a date (YYYY-MM-DD)");
    }
    return $time->getTimestamp();
}

// The serial asked for, or null for the fleet; 400 for one that no router can have.
function serial_parameter(): ?string
{
    $serial = parameter('serial', '');
    if ($serial === '') {
        return null;
    }
    if (strlen($serial) > 127 || !preg_match('//u', $serial)) {
        fail(400, 'serial is not a serial (UTF-8, at most 127 bytes)');
    }
    return $serial;
}

function h($text): string
{
    return htmlspecialchars((string)$text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8');
}

// a + b for decimal texts of any length.
function decimal_sum(string $a, string $b): string
{
    $sum = '';
    $carry = 0;
    for ($i = strlen($a) - 1, $j = strlen($b) - 1; $i >= 0 || $j >= 0 || $carry; $i--, $j--) {
        $digit = ($i >= 0 ? (int)$a[$i] : 0) + ($j >= 0 ? (int)$b[$j] : 0) + $carry;
        $sum = ($digit % 10) . $sum;
        $carry = intdiv($digit, 10);
    }
    return ltrim($sum, '0') ?: '0';
}

// SQL for SUM($column), exact whatever its size, read back by exact_total(). PostgreSQL sums
// exactly. SQLite's SUM fails past 2^63 - 1, so it sums the figures' billions and their rest
// apart; a figure kept as decimal text (a router's day past 2^63 - 1) is split the same way.
function exact_sum(string $column, bool $sqlite): string
{
    if (!$sqlite) {
        return "SUM($column)::text";
    }
    $integer = "typeof($column) = 'integer'";
    return "(SUM(CASE WHEN $integer THEN $column / 1000000000"
        . " ELSE CAST(substr($column, 1, length($column) - 9) AS INTEGER) END) || ' ' ||"
        . " SUM(CASE WHEN $integer THEN $column % 1000000000"
        . " ELSE CAST(substr($column, -9) AS INTEGER) END))";
}

// The decimal text of an exact_sum() cell (null: no rows).
function exact_total(?string $cell): string
{
    if ($cell === null) {
        return '0';
    }
    [$billions, $rest] = array_pad(explode(' ', $cell, 2), 2, null);
    return $rest === null ? $cell : decimal_sum($billions . '000000000', $rest);
}

// A size for people, in steps of 1000: "1.84 EB".
function bytes(string $count): string
{
    $units = ['B', 'KB', 'MB', 'GB', 'TB', 'PB', 'EB', 'ZB'];
    $value = (float)$count;
    for ($unit = 0; $value >= 1000 && $unit < count($units) - 1; $unit++) {
        $value /= 1000;
    }
    return sprintf($unit ? '%.2f %s' : '%.0f %s', $value, $units[$unit]);
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

$from = day('from', gmdate('Y-m-01'));
$to = day('to', gmdate('Y-m-d')) + 86400;  // the end of the last day
if ($to <= $from) {
    fail(400, 'to is before from');
}
$serial = serial_parameter();
$format = parameter('format', 'html');
if ($format !== 'html' && $format !== 'csv') {
    fail(400, 'format is html or csv');
}
$csv = $format === 'csv';

// Every row a query gives, or an exception: SQLite's SUM can fail partway through (a total past
// 2^63 - 1), and PDO then ends the rows early without a word.
function all_rows(PDOStatement $query): array
{
    $rows = $query->fetchAll(PDO::FETCH_ASSOC);
    if ($query->errorCode() !== '00000') {
        throw new PDOException('the ledger: ' . ($query->errorInfo()[2] ?? 'rows cut short'));
    }
    return $rows;
}

// Rows with exact_sum() cells up and down, read as decimal texts, and their total.
function exact_rows(array $rows): array
{
    foreach ($rows as &$row) {
        [$row['up'], $row['down']] = [exact_total($row['up']), exact_total($row['down'])];
        $row['total'] = decimal_sum($row['up'], $row['down']);
    }
    return $rows;
}

try {
    $db = new PDO($_SERVER['TOLVU_DSN'] ?? 'sqlite:/var/lib/tolvu/ledger.sqlite',
                  $_SERVER['TOLVU_DB_USER'] ?? null, $_SERVER['TOLVU_DB_PASSWORD'] ?? null,
                  [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_PERSISTENT => true]);
    $sqlite = $db->getAttribute(PDO::ATTR_DRIVER_NAME) === 'sqlite';
    $fleet = $db->prepare(
        'SELECT r.serial, ' . exact_sum('r.billed_up', $sqlite) . ' AS up, '
        . exact_sum('r.billed_dn', $sqlite) . ' AS down, COUNT(*) AS reports,'
        . " SUM(CASE WHEN r.kind IN ('resent', 'old') THEN 1 ELSE 0 END) AS resends,"
        . ' MAX(t.last_report) AS last_report, MAX(t.client) AS client'
        . ' FROM reports r JOIN routers t ON t.serial = r.serial'
        . ' WHERE r.received >= ? AND r.received < ? GROUP BY r.serial ORDER BY r.serial');
    $fleet->execute([$from, $to]);
    $fleet = exact_rows(all_rows($fleet));
    $days = [];
    if ($serial !== null) {
        $day = $sqlite ? "date(received, 'unixepoch')"
                       : "to_char(to_timestamp(received) AT TIME ZONE 'UTC', 'YYYY-MM-DD')";
        $days = $db->prepare(
            "SELECT $day AS day, " . exact_sum('billed_up', $sqlite) . ' AS up, '
            . exact_sum('billed_dn', $sqlite) . ' AS down FROM reports'
            . " WHERE serial = ? AND received >= ? AND received < ? GROUP BY $day ORDER BY $day");
        $days->execute([$serial, $from, $to]);
        $days = exact_rows(all_rows($days));
    }
} catch (PDOException $e) {
    error_log('tolvu usage.php: ' . $e->getMessage());
    fail(503, 'the ledger cannot be read now');
}
$period = gmdate('Y-m-d', $from) . ' to ' . gmdate('Y-m-d', $to - 86400);

if ($csv) {
    header('Content-Type: text/csv; charset=utf-8');
    header('Content-Disposition: attachment; filename="tolvu-usage-' . gmdate('Ymd', $from) . '-'
           . gmdate('Ymd', $to - 86400) . ($serial === null ? '' : '-' . rawurlencode($serial))
           . '.csv"');
    // A text cell that a spreadsheet would read as a formula (a serial or a certificate subject
    // starting with =, +, - or @) is kept as text.
    $cell = fn(?string $text): string => preg_match('/^[=+\-@\t\r]/', $text ?? '')
        ? "'" . $text : ($text ?? '');
    $out = fopen('php://output', 'w');
    // RFC 4180 quoting, without PHP's backslash escape (which other readers do not know, so that
    // a serial holding \" could shift the figures into other columns).
    $put = fn(array $cells) => fputcsv($out, $cells, ',', '"', '');
    if ($serial === null) {
        $put(['serial', 'up', 'down', 'total', 'reports', 'resends caught',
                       'last report (UTC)', 'client certificate']);
        foreach ($fleet as $r) {
            $put([$cell($r['serial']), $r['up'], $r['down'], $r['total'], $r['reports'],
                           $r['resends'], gmdate('Y-m-d H:i:s', (int)$r['last_report']),
                           $cell($r['client'])]);
        }
    } else {
        $put(['serial', 'day (UTC)', 'up', 'down', 'total']);
        foreach ($days as $d) {
            $put([$cell($serial), $d['day'], $d['up'], $d['down'], $d['total']]);
        }
    }
    exit;
}

$now = time();
$query = function (array $extra) use ($from, $to): string {
    return h('?' . http_build_query(['from' => gmdate('Y-m-d', $from),
                                     'to' => gmdate('Y-m-d', $to - 86400)] + $extra));
};
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
th, td { padding: 0.25em 0.8em; border-bottom: 1px solid #ddd; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
th { text-align: left; background: #f3f3f3; }
tfoot td { font-weight: bold; }
svg .bar { fill: #3b78c2; }
svg text { font-size: 11px; fill: #444; }
</style>
</head>
<body>
<h1>Usage, <?= h($period) ?> (UTC)</h1>
<form method="get">
 from <input type="date" name="from" value="<?= h(gmdate('Y-m-d', $from)) ?>">
 to <input type="date" name="to" value="<?= h(gmdate('Y-m-d', $to - 86400)) ?>">
 <button>Show</button> <a href="<?= $query(['format' => 'csv']) ?>">CSV</a>
</form>
<table id="fleet">
<thead><tr><th>serial</th><th>up (bytes)</th><th>down (bytes)</th><th>total (bytes)</th>
<th>total</th><th>reports</th><th>re-sends caught</th><th>last report (UTC)</th><th>age</th>
<th>client certificate</th></tr></thead>
<tbody>
<?php $sum = ['0', '0', '0']; foreach ($fleet as $r): $sum = [decimal_sum($sum[0], $r['up']), decimal_sum($sum[1], $r['down']), decimal_sum($sum[2], $r['total'])]; ?>
<tr data-serial="<?= h($r['serial']) ?>"><td><a href="<?= $query(['serial' => $r['serial']]) ?>"><?= h($r['serial']) ?></a></td>
<td class="n up"><?= h($r['up']) ?></td><td class="n down"><?= h($r['down']) ?></td>
<td class="n total"><?= h($r['total']) ?></td><td class="n"><?= h(bytes($r['total'])) ?></td>
<td class="n"><?= h($r['reports']) ?></td><td class="n resends"><?= h($r['resends']) ?></td>
<td><?= h(gmdate('Y-m-d H:i:s', (int)$r['last_report'])) ?></td>
<td class="n"><?= h(age(max(0, $now - (int)$r['last_report']))) ?></td><td><?= h($r['client'] ?? '') ?></td></tr>
<?php endforeach; ?>
</tbody>
<tfoot><tr><td><?= count($fleet) ?> routers</td><td class="n"><?= $sum[0] ?></td><td class="n"><?= $sum[1] ?></td>
<td class="n"><?= $sum[2] ?></td><td class="n"><?= h(bytes($sum[2])) ?></td><td colspan="5"></td></tr></tfoot>
</table>
<?php if ($serial !== null):
    $width = 640; $height = 200; $top = 20; $bottom = 40;
    $max = max(1.0, ...array_map(fn($d) => (float)$d['total'], $days ?: [['total' => 1]]));
    $slot = $width / max(1, count($days));
?>
<h2><?= h($serial) ?>: usage per day</h2>
<p><a href="<?= $query(['serial' => $serial, 'format' => 'csv']) ?>">CSV</a></p>
<svg id="chart" xmlns="http://www.w3.org/2000/svg" width="<?= $width + 80 ?>" height="<?= $height ?>"
     role="img" aria-label="bytes per day for <?= h($serial) ?>">
<line x1="70" y1="<?= $height - $bottom ?>" x2="<?= $width + 70 ?>" y2="<?= $height - $bottom ?>" stroke="#888"/>
<text x="65" y="<?= $top + 4 ?>" text-anchor="end"><?= h(bytes((string)$max)) ?></text>
<text x="65" y="<?= $height - $bottom ?>" text-anchor="end">0</text>
<?php foreach ($days as $i => $d):
    $h = ($height - $top - $bottom) * (float)$d['total'] / $max;
    $x = 70 + $i * $slot + $slot * 0.15; ?>
<rect class="bar" data-day="<?= h($d['day']) ?>" data-total="<?= h($d['total']) ?>" x="<?= sprintf('%.1f', $x) ?>"
      y="<?= sprintf('%.1f', $height - $bottom - $h) ?>" width="<?= sprintf('%.1f', $slot * 0.7) ?>" height="<?= sprintf('%.1f', $h) ?>"><title><?= h($d['day'] . ': ' . bytes($d['total'])) ?></title></rect>
<text x="<?= sprintf('%.1f', $x + $slot * 0.35) ?>" y="<?= $height - $bottom + 14 ?>" text-anchor="middle"><?= h(substr($d['day'], 5)) ?></text>
<text x="<?= sprintf('%.1f', $x + $slot * 0.35) ?>" y="<?= sprintf('%.1f', $height - $bottom - $h - 4) ?>" text-anchor="middle"><?= h(bytes($d['total'])) ?></text>
<?php endforeach; ?>
</svg>
<?php endif; ?>
</body>
</html>
