#!/usr/bin/env bash
# CUPS with a cups-pdf queue: a real printer for Wine (Wine lists CUPS queues
# as Windows printers), whose output is a PDF per job.
#   cups.sh ensure   starts cupsd if needed, adds the queue if missing, and
#                    prints QUEUE=<name> and PDFDIR=<folder of the PDFs>
set -euo pipefail
queue="${ZP_CUPS_QUEUE:-ZeltPDF}"
ppd=/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

case "${1:-}" in
  ensure)
    if ! lpstat -r 2>/dev/null | grep -q 'is running'; then
      sudo_ cupsd
      for _ in $(seq 50); do lpstat -r 2>/dev/null | grep -q 'is running' && break; sleep 0.2; done
    fi
    if ! lpstat -p "$queue" >/dev/null 2>&1; then
      sudo_ lpadmin -p "$queue" -v cups-pdf:/ -E -P "$ppd" 2>/dev/null
    fi
    sudo_ cupsenable "$queue"
    sudo_ cupsaccept "$queue"
    # cups-pdf writes into ${HOME}/PDF of the user who printed.
    home="$(getent passwd "$(id -un)" | cut -d: -f6)"
    mkdir -p "$home/PDF"
    echo "QUEUE=$queue"
    echo "PDFDIR=$home/PDF"
    ;;
  *)
    echo "usage: cups.sh ensure" >&2
    exit 2
    ;;
esac
