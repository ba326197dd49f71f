<?php
// A minimal management server's side of tolvu's reports: bills the figures, then answers.
// The router counts its report as accepted only when the reply holds "ACCEPTED" (strictly: the
// letters ACCEPTE and at least one more character, anywhere in it), so every other answer must
// leave that word out: "REFUSED", never "NOT ACCEPTED".

header('Content-Type: text/plain');
$fields = ['serial', 'bw_tot', 'bw_dn', 'bw_up'];
foreach ($fields as $field) {
    if (!isset($_POST[$field])) {
        echo "REFUSED: no $field\n";
        exit;
    }
}
if (!ctype_digit($_POST['bw_up']) || !ctype_digit($_POST['bw_dn'])) {
    echo "REFUSED: figures are not numbers\n";
    exit;
}

// Bill first, answer after: a router that never sees the answer sends the traffic again (with
// report_id on, as the same epoch and seq, which a server that keeps them bills only by what
// grew). Here the bill is one line a report in a file; a real server writes its database.
$ledger = $_SERVER['TOLVU_LEDGER'] ?? '/var/lib/tolvu/ledger';
$line = sprintf("%d serial=%s bw_up=%s bw_dn=%s epoch=%s seq=%s client=%s\n", time(),
                rawurlencode($_POST['serial']), $_POST['bw_up'], $_POST['bw_dn'],
                rawurlencode($_POST['epoch'] ?? '-'), rawurlencode($_POST['seq'] ?? '-'),
                rawurlencode($_SERVER['SSL_CLIENT_S_DN'] ?? '-'));
if (file_put_contents($ledger, $line, FILE_APPEND | LOCK_EX) === false) {
    http_response_code(503);
    echo "not billed, try again\n";
    exit;
}
echo "ACCEPTED\n";
