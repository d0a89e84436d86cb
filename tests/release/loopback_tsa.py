#!/usr/bin/python3
"""An RFC 3161 timestamp server on the loopback address, for the signing
test: each POST of a timestamp query is answered by `openssl ts -reply`
with the given TSA certificate and key. Listens on a free port of
127.0.0.1, writes the server's URL to PORT_FILE once it listens, and serves
until it is killed.

    loopback_tsa.py --config ts.cnf --signer tsa.pem --key tsa.key --chain root.pem --url-file FILE
"""
import argparse
import http.server
import os
import subprocess
import tempfile


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--config", "--signer", "--key", "--chain", "--url-file"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with tempfile.TemporaryDirectory() as scratch:
                query_file = os.path.join(scratch, "query.tsq")
                reply_file = os.path.join(scratch, "reply.tsr")
                with open(query_file, "wb") as out:
                    out.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", args.config, "-queryfile", query_file,
                                       "-signer", args.signer, "-inkey", args.key, "-chain", args.chain,
                                       "-out", reply_file], capture_output=True, text=True, check=False)
                if made.returncode != 0:
                    self.send_error(500, made.stderr.strip().splitlines()[-1] if made.stderr.strip() else "openssl")
                    return
                with open(reply_file, "rb") as reply:
                    body = reply.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            print(f"loopback_tsa: answered a query of {len(query)} bytes", flush=True)

        def log_message(self, format, *arguments):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    with open(args.url_file + ".tmp", "w") as out:
        out.write(f"http://127.0.0.1:{server.server_address[1]}/\n")
    os.replace(args.url_file + ".tmp", args.url_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
