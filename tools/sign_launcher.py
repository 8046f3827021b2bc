#!/usr/bin/env python3
"""Signs the launcher with an Authenticode signature, in place (osslsigncode).

Runs as the very last step of linking: the signature covers the image as
shipped, so nothing may change the file after it. If signing fails the
unsigned image is deleted, so that the next build links and signs again
instead of taking an unsigned file for a finished one.

Usage: sign_launcher.py IMAGE PFX [--password-file FILE] [--description TEXT]
                        [--timestamp-url URL] [--osslsigncode PROGRAM]
"""
import argparse
import os
import subprocess
import sys


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("image")
    parser.add_argument("pfx")
    parser.add_argument("--password-file")
    parser.add_argument("--description")
    parser.add_argument("--timestamp-url")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    args = parser.parse_args(argv)

    signed = args.image + ".signed"
    command = [args.osslsigncode, "sign", "-pkcs12", args.pfx, "-h", "sha256"]
    if args.password_file:
        command += ["-readpass", args.password_file]
    if args.description:
        command += ["-n", args.description]
    if args.timestamp_url:
        command += ["-ts", args.timestamp_url]
    command += ["-in", args.image, "-out", signed]
    if os.path.exists(signed):
        os.remove(signed)
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0 or not os.path.exists(signed):
        sys.stderr.write(result.stdout)
        sys.stderr.write(f"sign_launcher: signing {args.image} failed; the unsigned image is removed\n")
        for path in (signed, args.image):
            if os.path.exists(path):
                os.remove(path)
        return 1
    os.replace(signed, args.image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
