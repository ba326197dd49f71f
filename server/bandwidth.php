<?php
// The management server's side of tolvu's reports: each report is billed in one database
// transaction, and only after the commit does the reply say "ACCEPTED". The router takes a reply
// as accepted when it holds the letters ACCEPTE and one more character anywhere, so every other
// answer leaves that word out.
//
// The database is a PDO DSN from the web server (fastcgi_param TOLVU_DSN): by default a SQLite
// file on this machine; "pgsql:host=...;dbname=..." for a fleet with several front ends on one
// database. Schemas: schema.sqlite.sql, schema.pgsql.sql.

const INT63_MAX = '9223372036854775807';

function answer(int $status, string $text): void
{
    http_response_code($status);
    header('Content-Type: text/plain');
    echo $text, "\n";
    exit;
}

function refuse(string $why): void
{
    answer(200, "REFUSED: $why");
}

// A decimal integer from 0 to 2^63 - 1, as a PHP int; null when it is not one.
function figure(string $text): ?int
{
    if ($text === '' || !ctype_digit($text)) {
        return null;
    }
    $digits = ltrim($text, '0');
    if ($digits === '') {
        return 0;
    }
    if (strlen($digits) > 19 || (strlen($digits) === 19 && strcmp($digits, INT63_MAX) > 0)) {
        return null;
    }
    return (int)$digits;
}

// ---- the report, checked before the database is touched: bad input is recorded nowhere
if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST') {
    refuse('reports are POSTed');
}
foreach (['serial', 'bw_tot', 'bw_dn', 'bw_up'] as $field) {
    if (!isset($_POST[$field]) || !is_string($_POST[$field])) {
        refuse("no $field");
    }
}
$serial = $_POST['serial'];
if ($serial === '') {
    refuse('the serial is empty');
}
if (strlen($serial) > 127) {
    refuse('the serial is over 127 bytes');
}
if (!preg_match('/^[^\x00-\x1f\x7f]*\z/u', $serial)) {
    refuse('the serial is not printable UTF-8');
}
$figures = [];
foreach (['bw_up', 'bw_dn', 'bw_tot'] as $field) {
    $figures[$field] = figure($_POST[$field]);
    if ($figures[$field] === null) {
        refuse("$field is not a decimal integer from 0 to 2^63 - 1");
    }
}
[$up, $dn] = [$figures['bw_up'], $figures['bw_dn']];
if ($figures['bw_tot'] < $up || $figures['bw_tot'] - $up !== $dn) {
    refuse('bw_tot is not bw_up + bw_dn');
}
$epoch = $_POST['epoch'] ?? null;
$seq = $_POST['seq'] ?? null;
if (($epoch === null) !== ($seq === null)) {
    refuse('epoch and seq go together');
}
if ($epoch !== null) {
    if (!is_string($epoch) || !preg_match('/^[0-9a-fA-F]{16}\z/', $epoch)) {
        refuse('the epoch is not 16 hex digits');
    }
    $epoch = strtolower($epoch);
    $seq = is_string($seq) ? figure($seq) : null;
    if ($seq === null) {
        refuse('seq is not a decimal integer from 0 to 2^63 - 1');
    }
}
$client = $_SERVER['SSL_CLIENT_S_DN'] ?? '';
$client = $client === '' ? null : substr($client, 0, 1024);

// ---- billed in one transaction, by the rule, against the serial's last accepted report
$dsn = $_SERVER['TOLVU_DSN'] ?? 'sqlite:/var/lib/tolvu/ledger.sqlite';
try {
    $db = new PDO($dsn, $_SERVER['TOLVU_DB_USER'] ?? null, $_SERVER['TOLVU_DB_PASSWORD'] ?? null, [
        PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION,
        PDO::ATTR_PERSISTENT => true,
        PDO::ATTR_TIMEOUT => 10,
    ]);
    $sqlite = $db->getAttribute(PDO::ATTR_DRIVER_NAME) === 'sqlite';
    // SQLite: the write lock from the start, so that two copies of one report take turns.
    $sqlite ? $db->exec('BEGIN IMMEDIATE') : $db->beginTransaction();
    // A first report: the serial's row, which the lock below then holds (a concurrent first
    // report waits here for this one's commit, then finds the row).
    $db->prepare('INSERT INTO routers (serial) VALUES (?) ON CONFLICT (serial) DO NOTHING')
        ->execute([$serial]);
    $row = $db->prepare('SELECT epoch, seq, bw_up, bw_dn FROM routers WHERE serial = ?'
                        . ($sqlite ? '' : ' FOR UPDATE'));
    $row->execute([$serial]);
    $last = $row->fetch(PDO::FETCH_ASSOC);

    $keep = true;  // the new figures become the serial's last accepted report
    if ($epoch === null) {
        [$kind, $billed_up, $billed_dn] = ['plain', $up, $dn];
    } elseif ($last['epoch'] !== $epoch || $seq > (int)$last['seq']) {
        [$kind, $billed_up, $billed_dn] = ['full', $up, $dn];
    } elseif ($seq === (int)$last['seq']) {
        // Sent again after a lost reply: only what grew since the copy already billed.
        [$kind, $billed_up, $billed_dn] = ['resent', max(0, $up - (int)$last['bw_up']),
                                           max(0, $dn - (int)$last['bw_dn'])];
    } else {
        [$kind, $billed_up, $billed_dn, $keep] = ['old', 0, 0, false];
    }
    $now = time();
    $db->prepare('INSERT INTO reports (serial, received, epoch, seq, bw_up, bw_dn, billed_up,'
                 . ' billed_dn, kind, client) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)')
        ->execute([$serial, $now, $epoch, $seq, $up, $dn, $billed_up, $billed_dn, $kind, $client]);
    $db->prepare('UPDATE routers SET last_report = ?, client = ?' . ($keep
                     ? ', epoch = ?, seq = ?, bw_up = ?, bw_dn = ? WHERE serial = ?'
                     : ' WHERE serial = ?'))
        ->execute($keep ? [$now, $client, $epoch, $seq, $up, $dn, $serial]
                        : [$now, $client, $serial]);
    $sqlite ? $db->exec('COMMIT') : $db->commit();
} catch (Throwable $e) {
    // Nothing billed: the router keeps the traffic and sends it again with its next report.
    try {
        if (isset($sqlite)) {
            $sqlite ? $db->exec('ROLLBACK') : $db->rollBack();
        }
    } catch (PDOException $ignored) {
        // no transaction was open, or the connection is gone: either way nothing was billed
    }
    error_log('tolvu bandwidth.php: ' . $e->getMessage());
    answer(503, 'not billed, try again');
}
answer(200, 'ACCEPTED');
