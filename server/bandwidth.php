<?php
// The management server's side of tolvu's reports: each report is billed in one database
// transaction, and only after the commit does the reply say "ACCEPTED". The router takes a reply
// as accepted when it holds the letters ACCEPTE and one more character anywhere, so every other
// answer leaves that word out.
//
// The database is a PDO DSN from the web server (fastcgi_param TOLVU_DSN): by default a SQLite
// file on this machine; "pgsql:host=...;dbname=..." for a fleet with several front ends on one
// database. Schemas: schema.sqlite.sql, schema.pgsql.sql; maintain.php keeps the raw reports to
// their retention.

const INT63_MAX = '9223372036854775807';
const FIELDS = ['serial', 'bw_tot', 'bw_dn', 'bw_up', 'epoch', 'seq', 'iccid'];
// A row lock held elsewhere is waited for this long (PostgreSQL): short enough that reports stuck
// behind one router's lock free their PHP-FPM workers before other routers' reports wait long.
const LOCK_TIMEOUT_MS = 1500;
const STATEMENT_TIMEOUT_MS = 10000;

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

// The report's fields, read from the raw body: PHP's own parser lets the last of two copies of a
// field win, and reads "bw.up" or "bw up" as bw_up. Fields of other names are left out.
function report_fields(string $body): array
{
    $fields = [];
    foreach (explode('&', $body) as $pair) {
        if ($pair === '') {
            continue;
        }
        [$name, $value] = array_pad(explode('=', $pair, 2), 2, '');
        $name = urldecode($name);
        if (!in_array($name, FIELDS, true)) {
            continue;
        }
        if (isset($fields[$name])) {
            refuse("$name is given twice");
        }
        $fields[$name] = urldecode($value);
    }
    return $fields;
}

// Why a serial cannot be billed, or null: it must be printable UTF-8, without control or format
// characters (C0, C1, bidi overrides, zero-width characters) or line and paragraph separators.
function serial_fault(string $serial): ?string
{
    if ($serial === '') {
        return 'the serial is empty';
    }
    if (strlen($serial) > 127) {
        return 'the serial is over 127 bytes';
    }
    if (!preg_match('//u', $serial)) {
        return 'the serial is not UTF-8';
    }
    if (preg_match('/[\p{Cc}\p{Cf}\p{Zl}\p{Zp}]/u', $serial, $found)) {
        return sprintf('the serial holds a control or format character (U+%04X)',
                       code_point($found[0]));
    }
    return null;
}

// The code point of one UTF-8 character.
function code_point(string $char): int
{
    $length = strlen($char);
    $code = ord($char[0]) & [1 => 0x7f, 2 => 0x1f, 3 => 0x0f, 4 => 0x07][$length];
    for ($i = 1; $i < $length; $i++) {
        $code = ($code << 6) | (ord($char[$i]) & 0x3f);
    }
    return $code;
}

// The CN values of a subject as nginx gives it ($ssl_client_s_dn: RFC 2253, "CN=SN-1,O=Acme",
// specials escaped with a backslash, bytes past ASCII as \XX); null when it cannot be read.
function subject_cns(string $dn): ?array
{
    $parts = [''];
    for ($i = 0, $length = strlen($dn); $i < $length; $i++) {
        if ($dn[$i] === '\\' && $i + 1 < $length) {
            $parts[count($parts) - 1] .= $dn[$i] . $dn[++$i];  // unescaped below
        } elseif ($dn[$i] === ',' || $dn[$i] === '+') {
            $parts[] = '';
        } else {
            $parts[count($parts) - 1] .= $dn[$i];
        }
    }
    $cns = [];
    foreach ($parts as $part) {
        [$type, $value] = array_pad(explode('=', $part, 2), 2, null);
        if ($value === null) {
            return null;
        }
        if (strcasecmp($type, 'CN') !== 0) {
            continue;
        }
        if (str_starts_with($value, '#')) {
            return null;  // a DER dump: not a string
        }
        $cns[] = preg_replace_callback('/\\\\([0-9A-Fa-f]{2}|.)/s', fn($m) => strlen($m[1]) === 2
                                       ? chr(hexdec($m[1])) : $m[1], $value);
    }
    return $cns;
}

// The rule: what a report bills against the serial's last accepted one, and what the serial then
// keeps as its last accepted (null: unchanged). A copy of the (epoch, seq) already billed bills
// only what it holds beyond the largest copy billed, and that largest copy is what stays: a late,
// smaller copy bills nothing and lowers nothing. $left: the report's epoch is one the router has
// left for a newer one (it never goes back to one, as when its SIM was swapped), so the report is
// a late copy of one billed before the router moved on.
function bill(array $last, ?string $epoch, ?int $seq, int $up, int $dn, bool $left): array
{
    if ($epoch === null) {
        return ['plain', $up, $dn, [null, null, $up, $dn]];
    }
    if ($left) {
        return ['old', 0, 0, null];
    }
    if ($last['epoch'] !== $epoch || $seq > (int)$last['seq']) {
        return ['full', $up, $dn, [$epoch, $seq, $up, $dn]];
    }
    if ($seq === (int)$last['seq']) {
        [$had_up, $had_dn] = [(int)$last['bw_up'], (int)$last['bw_dn']];
        return ['resent', max(0, $up - $had_up), max(0, $dn - $had_dn),
                [$epoch, $seq, max($up, $had_up), max($dn, $had_dn)]];
    }
    return ['old', 0, 0, null];
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

// Statements in one round trip on PostgreSQL (one text, PDO quoting the values), one by one on
// SQLite; the last one's rows.
function run(PDO $db, bool $sqlite, array $statements): PDOStatement
{
    if (!$sqlite) {
        $statements = [[implode('; ', array_column($statements, 0)),
                        array_merge(...array_column($statements, 1))]];
    }
    foreach ($statements as [$sql, $values]) {
        $query = $db->prepare($sql);
        foreach ($values as $n => $value) {
            // Integers bound as integers: SQLite keeps the type of what it is given.
            $query->bindValue($n + 1, $value, is_int($value) ? PDO::PARAM_INT
                              : ($value === null ? PDO::PARAM_NULL : PDO::PARAM_STR));
        }
        $query->execute();
    }
    return $query;
}

// A connection that the database ended (a restart): PHP-FPM's worker keeps it until a query fails.
function connection_lost(PDOException $e): bool
{
    $state = $e->errorInfo[0] ?? '';
    return $state === 'HY000' || str_starts_with($state, '08') || str_starts_with($state, '57P0');
}

function connect(string $dsn): PDO
{
    $options = [PDO::ATTR_ERRMODE => PDO::ERRMODE_EXCEPTION, PDO::ATTR_PERSISTENT => true,
                PDO::ATTR_TIMEOUT => 10];
    if (str_starts_with($dsn, 'pgsql:')) {
        $options[PDO::ATTR_EMULATE_PREPARES] = true;  // one round trip for several statements
    }
    return new PDO($dsn, $_SERVER['TOLVU_DB_USER'] ?? null, $_SERVER['TOLVU_DB_PASSWORD'] ?? null,
                   $options);
}

// ---- the report, checked before the database is touched: bad input is recorded nowhere
if (($_SERVER['REQUEST_METHOD'] ?? '') !== 'POST') {
    refuse('reports are POSTed');
}
if (!preg_match('~^application/x-www-form-urlencoded\s*(;|\z)~i', $_SERVER['CONTENT_TYPE'] ?? '')) {
    refuse('the body is not application/x-www-form-urlencoded');
}
$fields = report_fields(file_get_contents('php://input'));
foreach (['serial', 'bw_tot', 'bw_dn', 'bw_up'] as $field) {
    if (!isset($fields[$field])) {
        refuse("no $field");
    }
}
$serial = $fields['serial'];
$fault = serial_fault($serial);
if ($fault !== null) {
    refuse($fault);
}
$figures = [];
foreach (['bw_up', 'bw_dn', 'bw_tot'] as $field) {
    $figures[$field] = figure($fields[$field]);
    if ($figures[$field] === null) {
        refuse("$field is not a decimal integer from 0 to 2^63 - 1");
    }
}
[$up, $dn] = [$figures['bw_up'], $figures['bw_dn']];
if ($figures['bw_tot'] < $up || $figures['bw_tot'] - $up !== $dn) {
    refuse('bw_tot is not bw_up + bw_dn');
}
$epoch = $fields['epoch'] ?? null;
$seq = $fields['seq'] ?? null;
if (($epoch === null) !== ($seq === null)) {
    refuse('epoch and seq go together');
}
if ($epoch !== null) {
    if (!preg_match('/^[0-9a-fA-F]{16}\z/', $epoch)) {
        refuse('the epoch is not 16 hex digits');
    }
    $epoch = strtolower($epoch);
    $seq = figure($seq);
    if ($seq === null) {
        refuse('seq is not a decimal integer from 0 to 2^63 - 1');
    }
}
// The SIM that carried the traffic: its ICCID, 18 to 22 digits and perhaps a trailing F (a
// filler nibble), kept upper case.
$iccid = $fields['iccid'] ?? null;
if ($iccid !== null) {
    if (!preg_match('/^[0-9]{18,22}[Ff]?\z/', $iccid)) {
        refuse('the iccid is not 18 to 22 digits (and perhaps a final F)');
    }
    $iccid = strtoupper($iccid);
}
$subject = $_SERVER['SSL_CLIENT_S_DN'] ?? '';
$client = $subject === '' ? null : substr($subject, 0, 1024);
// A router with a certificate bills only its own serial, the certificate's CN.
$verify = $_SERVER['SSL_CLIENT_VERIFY'] ?? '';
if ($verify !== '' && $verify !== 'NONE') {
    $cns = $verify === 'SUCCESS' ? subject_cns($subject) : null;
    if ($cns !== [$serial]) {
        error_log('tolvu bandwidth.php: refused serial ' . json_encode($serial) . ' from client '
                  . json_encode([$verify, $subject], JSON_INVALID_UTF8_SUBSTITUTE));
        refuse($verify === 'SUCCESS' ? "the client certificate's CN is not the serial"
                                     : 'the client certificate did not verify');
    }
}

// ---- billed in one transaction, by the rule, against the serial's last accepted report
$dsn = $_SERVER['TOLVU_DSN'] ?? 'sqlite:/var/lib/tolvu/ledger.sqlite';
$sqlite = str_starts_with($dsn, 'sqlite:');
$db = null;
try {
    // 1. The serial's row, made if it is new and then locked (SQLite: the write lock from the
    // start), so that two copies of one report take turns; a dead persistent connection is
    // replaced once, since nothing was written yet.
    $lock = $sqlite ? [['BEGIN IMMEDIATE', []]]
        : [['BEGIN', []], ['SET LOCAL lock_timeout = ' . LOCK_TIMEOUT_MS, []],
           ['SET LOCAL statement_timeout = ' . STATEMENT_TIMEOUT_MS, []]];
    $lock[] = ['INSERT INTO routers (serial) VALUES (?) ON CONFLICT (serial) DO NOTHING',
               [$serial]];
    $lock[] = ['SELECT epoch, seq, bw_up, bw_dn FROM routers WHERE serial = ?'
               . ($sqlite ? '' : ' FOR UPDATE'), [$serial]];
    for ($attempt = 1; ; $attempt++) {
        try {
            $db = connect($dsn);
            $last = run($db, $sqlite, $lock)->fetch(PDO::FETCH_ASSOC);
            break;
        } catch (PDOException $e) {
            if ($sqlite || $attempt > 1 || !connection_lost($e)) {
                throw $e;
            }
            $db = null;
        }
    }

    // 2. Billed by the rule; the report, its day and the serial's last accepted report written.
    // An epoch other than the last accepted one is looked up among those the router left (after
    // the lock: a report that waited for it sees the epoch its holder left).
    $number = fn(string $hex): int => unpack('J', hex2bin($hex))[1];
    $left = false;
    if ($epoch !== null && $last['epoch'] !== null && $last['epoch'] !== $epoch) {
        $left = run($db, $sqlite, [['SELECT 1 FROM left_epochs WHERE serial = ? AND epoch = ?',
                                    [$serial, $number($epoch)]]])->fetch() !== false;
    }
    [$kind, $billed_up, $billed_dn, $keep] = bill($last, $epoch, $seq, $up, $dn, $left);
    $now = time();
    $day = gmdate('Y-m-d', $now);
    $caught = $kind === 'resent' || $kind === 'old' ? 1 : 0;
    $writes = [
        ['INSERT INTO reports (received, epoch, seq, bw_up, bw_dn, billed_up, billed_dn, kind,'
         . ' serial, iccid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)',
         [$now, $epoch === null ? null : $number($epoch), $seq, $up, $dn, $billed_up,
          $billed_dn, $kind, $serial, $iccid]],
        // SQLite keeps a day past 2^63 - 1 as decimal text, below.
        ['INSERT INTO router_days (serial, day, iccid, up, down, reports, resent)'
         . ' VALUES (?, ?, ?, ?, ?, 1, ?) ON CONFLICT (serial, day, iccid) DO UPDATE SET'
         . ' up = router_days.up + excluded.up, down = router_days.down + excluded.down,'
         . ' reports = router_days.reports + 1, resent = router_days.resent + excluded.resent'
         . ($sqlite ? ' WHERE typeof(router_days.up) = \'integer\''
                      . ' AND typeof(router_days.down) = \'integer\''
                      . ' AND router_days.up <= ' . INT63_MAX . ' - excluded.up'
                      . ' AND router_days.down <= ' . INT63_MAX . ' - excluded.down' : ''),
         [$serial, $day, $iccid ?? '', $billed_up, $billed_dn, $caught]],
        ['UPDATE routers SET last_report = ?, client = ?'
         . ($keep ? ', epoch = ?, seq = ?, bw_up = ?, bw_dn = ?' : '') . ' WHERE serial = ?',
         array_merge([$now, $client], $keep ?? [], [$serial])],
    ];
    // The line of books the router leaves for a new one: a later copy of its reports bills
    // nothing. (A report without epoch and seq leaves none: the router may go on with its line.)
    if ($keep && $keep[0] !== null && $last['epoch'] !== null && $keep[0] !== $last['epoch']) {
        $writes[] = ['INSERT INTO left_epochs (serial, epoch) VALUES (?, ?)'
                     . ' ON CONFLICT (serial, epoch) DO NOTHING',
                     [$serial, $number($last['epoch'])]];
    }
    if ($sqlite) {
        run($db, true, [$writes[0]]);
        if (run($db, true, [$writes[1]])->rowCount() === 0) {
            $row = $db->prepare('SELECT up, down FROM router_days WHERE serial = ? AND day = ?'
                                . ' AND iccid = ?');
            $row->execute([$serial, $day, $iccid ?? '']);
            [$had_up, $had_dn] = $row->fetch(PDO::FETCH_NUM);
            $db->prepare('UPDATE router_days SET up = ?, down = ?, reports = reports + 1,'
                         . ' resent = resent + ? WHERE serial = ? AND day = ? AND iccid = ?')
                ->execute([decimal_sum((string)$had_up, (string)$billed_up),
                           decimal_sum((string)$had_dn, (string)$billed_dn), $caught, $serial,
                           $day, $iccid ?? '']);
        }
        run($db, true, array_merge(array_slice($writes, 2), [['COMMIT', []]]));
    } else {
        run($db, false, array_merge($writes, [['COMMIT', []]]));
    }
} catch (Throwable $e) {
    // Nothing billed: the router keeps the traffic and sends it again with its next report.
    try {
        $db?->exec('ROLLBACK');
    } catch (PDOException $ignored) {
        // no transaction was open, or the connection is gone: either way nothing was billed
    }
    error_log('tolvu bandwidth.php: ' . $e->getMessage());
    answer(503, 'not billed, try again');
}
answer(200, 'ACCEPTED');
