"""Builds, signs, stamps and checks the launcher copies of one campaign.

Every input is checked before anything is built; the copies are made and
checked in a hidden folder beside OUT, which becomes OUT only once all of
them passed. A refused or failed release leaves OUT as it was.
"""
import argparse
import csv
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, 'tests'))
sys.path.insert(0, os.path.join(SOURCE, 'scripts'))
from harness import cached  # noqa: E402
import progress  # noqa: E402
NAME = 'QuilloSetup-{key}.exe'
TOOLS = ['cmake', 'openssl', 'osslsigncode', 'wine', 'wineserver']
HOST = re.compile(r'[A-Za-z0-9.-]+(:[0-9]{1,5})?')
SYSTEM_ROOTS = '/etc/ssl/certs/ca-certificates.crt'
SHIPPED_KEY = re.compile(r'[0-9a-f]{40}')
# Statuses of the launcher's signature check that a publisher is likely to meet.
TRUST_STATUS = {
    0x800B0109: 'the root of the certificate chain is not trusted',
    0x800B0101: 'a certificate of the chain has expired or is not yet valid',
    0x800B0110: 'the certificate is not meant for code signing',
    0x800B010A: 'the certificate chain is incomplete',
    0x80096010: 'the file does not match its signature',
    0x800B0100: 'the file carries no signature',
}


class Refused(Exception):
    pass


def run(args, what, **kw):
    out = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, **kw)
    if out.returncode != 0:
        detail = (out.stderr or out.stdout).strip().splitlines()[-15:]
        raise Refused('%s failed (exit %d):\n  %s' % (what, out.returncode, '\n  '.join(detail)))
    return out.stdout


def long_step(args, what, doing):
    """Runs a build step that may take minutes, with progress on standard error."""
    try:
        return progress.run(args, doing)
    except progress.Failed as failure:
        raise Refused('%s failed (%s' % (what, failure))


def counted(number, one, many):
    """"1 copy", "2 copies": a count with its noun in the right number."""
    return '%d %s' % (number, one if number == 1 else many)


def which_build(tense):
    """Which build's tools the checks under Wine "run" or "ran" on, and why
    (scripts/wine_choice exports the machine's sentence)."""
    machine = os.environ.get('QUILLO_MACHINE')
    return '%sthe release checks %s on the %s build of the tools; the copies are of the ' \
        'shipped 32-bit program' % (machine + ': ' if machine else '', tense,
                                    os.environ.get('QUILLO_ARCH', 'i686'))


def read_keys(path):
    """The keys of a key file and its problems, read as stampkey --batch
    reads them: one per line, a trailing CR and a UTF-8 byte order mark
    dropped, blank lines skipped. Every key must be a shipped key, and none
    may repeat; each line that breaks that is one problem."""
    with open(path, 'rb') as f:
        text = f.read()
    if text.startswith(b'\xef\xbb\xbf'):
        text = text[3:]
    keys, problems, seen = [], [], {}
    for number, line in enumerate(text.split(b'\n'), 1):
        line = line[:-1] if line.endswith(b'\r') else line
        if not line.strip(b' \t'):
            continue
        key = line.decode('latin-1')
        if not SHIPPED_KEY.fullmatch(key):
            problems.append('line %d: invalid key %r: a key is 40 lower-case hexadecimal '
                            'characters' % (number, key[:60]))
        elif key in seen:
            problems.append('line %d: duplicate key %s (first on line %d)'
                            % (number, key, seen[key]))
        else:
            seen[key] = number
            keys.append(key)
    if not keys and not problems:
        problems.append('it holds no keys')
    return keys, ['%s: %s' % (path, problem) for problem in problems]


def signing_material(args, secrets):
    """The certificate chain and the private key as PEM files in the private
    folder secrets, after checking that they belong together."""
    password = ['-passin', 'env:' + args.password_env if args.password_env else 'pass:']
    chain, key = os.path.join(secrets, 'chain.pem'), os.path.join(secrets, 'key.pem')
    if args.pkcs12:
        leaf, cas = os.path.join(secrets, 'leaf.pem'), os.path.join(secrets, 'ca.pem')
        for extra, target in ((['-nokeys', '-clcerts'], leaf), (['-nokeys', '-cacerts'], cas),
                              (['-nocerts', '-nodes'], key)):
            command = ['openssl', 'pkcs12', '-in', args.pkcs12, '-out', target] + password + extra
            try:
                run(command, 'reading %s' % args.pkcs12)
            except Refused:  # older files use ciphers that OpenSSL 3 keeps apart
                run(command + ['-legacy'], 'reading %s' % args.pkcs12)
        with open(chain, 'w') as out:
            for part in (leaf, cas):
                with open(part) as f:
                    out.write(f.read())
    else:
        shutil.copy(args.cert, chain)
        run(['openssl', 'pkey', '-in', args.key, '-out', key] + password,
            'reading the private key %s' % args.key)
    cert_public = run(['openssl', 'x509', '-in', chain, '-noout', '-pubkey'],
                      'reading the certificate')
    key_public = run(['openssl', 'pkey', '-in', key, '-pubout'], 'reading the private key')
    if cert_public != key_public:
        raise Refused('the certificate does not match the private key (their public keys differ)')
    return chain, key


def build(args):
    """Builds the launcher for the host and the tools the release runs. The
    launcher is always the shipped 32-bit program; the Windows tools are of
    the build's own kind (64-bit where this machine cannot run 32-bit code,
    chosen by scripts/wine_choice), and read a 32-bit file all the same."""
    cache = os.path.join(args.build_dir, 'CMakeCache.txt')
    host = cached('SERVICE_HOST', None, args.build_dir)
    if host != args.host:
        print('configuring %s for %s' % (args.build_dir, args.host))
        arch = os.environ.get('QUILLO_ARCH', 'i686')
        toolchain = [] if os.path.exists(cache) else [
            '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(SOURCE, 'cmake', 'mingw-%s.cmake' % arch)]
        long_step(['cmake', '-S', SOURCE, '-B', args.build_dir, '-DSERVICE_HOST=' + args.host]
                  + toolchain, 'configuring the build', 'configuring')
    targets = ['shipped_launcher', 'verifysig', 'host_tools'] + (
        ['addroot'] if args.trust_root else [])
    print('building %s in %s (a first build takes minutes; a line on standard error every '
          '%d s tells how far it is)' % (' '.join(targets), args.build_dir, progress.EVERY),
          flush=True)
    seconds = long_step(['cmake', '--build', args.build_dir, '-j', str(os.cpu_count() or 2),
                         '--target'] + targets, 'building', 'building')
    print('built in %d s' % seconds)
    launcher = cached('QUILLO_SHIPPED_LAUNCHER', None, args.build_dir)
    with open(launcher, 'rb') as f:
        if args.host.encode('utf-16-le') not in f.read():
            raise Refused('%s does not carry the service host %s' % (launcher, args.host))
    return launcher


def wine_prefix(args):
    """A prefix of the release's own, never the tests' one (which trusts the
    test CA). Roots from --trust-root are made trusted in it: Wine's
    WinVerifyTrust does not insist on a trusted root today, but the check is
    then right where it does. They give the prefix a name of its own, so that
    they never leak into a release made without them."""
    roots = b''.join(open(path, 'rb').read() for path in args.trust_root)
    name = 'release-prefix' + ('-' + hashlib.sha256(roots).hexdigest()[:12] if roots else '')
    prefix = os.path.join(args.build_dir, name)
    wine = cached('QUILLO_WINE', 'wine', args.build_dir)
    wineserver = cached('QUILLO_WINESERVER', 'wineserver', args.build_dir)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all',
               WINEDLLOVERRIDES='mscoree,mshtml=', QUILLO_WINE=wine, QUILLO_WINESERVER=wineserver)
    if cached('QUILLO_POINTER_BITS', '32', args.build_dir) == '64':
        env.update(WINELOADER=wine, WINESERVER=wineserver)
    if not os.path.exists(os.path.join(prefix, '.release-ready')):
        print('preparing the Wine prefix %s' % prefix)
        subprocess.run([wine, 'wineboot', '-i'], env=env, capture_output=True)
        for root in args.trust_root:
            run(['sh', os.path.join(SOURCE, 'tests', 'fixtures', 'install_ca.sh'), prefix, root,
                 os.path.join(args.build_dir, 'tests', 'addroot.exe')], 'trusting %s' % root,
                env=env)
        subprocess.run([wineserver, '-w'], env=env)
        open(os.path.join(prefix, '.release-ready'), 'w').close()
    return env


def launcher_checks(args, env, files):
    """The launcher's own signer, signature and key checks on each file,
    under Wine."""
    verifysig = os.path.join(args.build_dir, 'tools', 'verifysig', 'verifysig.exe')
    paths = ['Z:' + os.path.abspath(f).replace('/', '\\') for f in files]
    out = subprocess.run([env['QUILLO_WINE'], verifysig] + paths, env=env, capture_output=True, text=True,
                         timeout=600)
    results = [json.loads(line) for line in out.stdout.splitlines() if line.startswith('{')]
    if len(results) != len(files):
        raise Refused('verifysig under Wine failed (exit %d): %s'
                      % (out.returncode, out.stderr.strip()[-500:]))
    return results


def judge(name, result, key):
    """Refuses a file that the launcher would refuse, saying which check failed."""
    if not result['signer_ok']:
        raise Refused('%s: the launcher\'s signer check failed: the signing certificate is "%s" '
                      'issued by "%s"; the launcher accepts only "%s" issued by "%s"'
                      % (name, result['subject'], result['issuer'], result['expected_subject'],
                         result['expected_issuer']))
    if not result['signature_ok']:
        status = int(result['status'], 16)
        raise Refused('%s: the launcher\'s signature check (WinVerifyTrust) failed with status '
                      '%s: %s' % (name, result['status'],
                                  TRUST_STATUS.get(status, 'see the WinTrust error codes')))
    if key is not None and (result['key_code'] != 0 or result['key'] != key):
        raise Refused('%s: the launcher does not read back the key %s: %s'
                      % (name, key, result['key_error'] or 'it reads ' + result['key']))


def chain_check(args, signed, work):
    """osslsigncode's verification of the chain up to a trusted root, which
    Wine's WinVerifyTrust does not enforce. Revocation is left out, as the
    launcher leaves it out. The stamped copies cannot be given to it: it
    takes the key trailer for a corrupt certificate table."""
    command = ['osslsigncode', 'verify', '-ignore-cdp', '-in', signed]
    if args.trust_root:
        roots = os.path.join(work, 'roots.pem')
        with open(roots, 'wb') as out:
            for path in args.trust_root + [SYSTEM_ROOTS]:
                if os.path.exists(path):
                    with open(path, 'rb') as f:
                        out.write(f.read() + b'\n')
        command[2:2] = ['-CAfile', roots]
    out = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if out.returncode != 0:
        reasons = [line.strip() for line in (out.stdout + out.stderr).splitlines()
                   if 'Error:' in line or 'Verify error' in line] or [out.stdout.strip()[-300:]]
        raise Refused('osslsigncode does not accept the signature: %s (is its root trusted? '
                      '--trust-root adds one)' % '; '.join(reasons[:2]))


def check_inputs(args, secrets):
    """Checks every input before anything is built, and returns the keys and
    the signing material (PEM files in the private folder secrets). Raises
    Refused naming every problem found, not only the first."""
    problems = []
    missing = [t for t in TOOLS if not shutil.which(t)]
    if missing:
        problems.append('missing programs: %s (scripts/setup installs them)' % ' '.join(missing))
    absent = [path for path in [args.keys, args.pkcs12, args.cert, args.key] + args.trust_root
              if path and not os.path.isfile(path)]
    problems += ['%s is not a file' % path for path in absent]
    out = os.path.abspath(args.out)
    parent = os.path.dirname(out)
    if os.path.exists(out) and (not os.path.isdir(out) or os.listdir(out)):
        problems.append('the output folder %s is not empty' % out)
    if not os.path.isdir(parent):
        problems.append('the folder %s, where the output folder goes, does not exist' % parent)
    keys = []
    if args.keys not in absent:
        keys, key_problems = read_keys(args.keys)
        problems += key_problems
    material = None
    if args.password_env and args.password_env not in os.environ:
        problems.append('the environment variable %s (--password-env) is not set'
                        % args.password_env)
    elif 'openssl' not in missing and not set(absent) & {args.pkcs12, args.cert, args.key}:
        try:
            material = signing_material(args, secrets)
        except Refused as problem:
            problems.append(str(problem))
    if problems:
        raise Refused('%s of the input:\n  %s' % (counted(len(problems), 'problem', 'problems'),
                                                   '\n  '.join(problems)))
    return keys, material


def release(args):
    out = os.path.abspath(args.out)
    parent = os.path.dirname(out)
    work = tempfile.mkdtemp(prefix='quillo-release-')  # private: it holds the bare key
    staging = None
    checked = False
    try:
        keys, (chain, private_key) = check_inputs(args, work)
        print(which_build('run'))
        launcher = build(args)

        signed = os.path.join(work, 'QuilloSetup.exe')
        run(['osslsigncode', 'sign', '-certs', chain, '-key', private_key, '-h', 'sha256',
             '-n', 'Quillo Setup'] + (['-ts', args.timestamp] if args.timestamp else [])
            + ['-in', launcher, '-out', signed], 'signing')
        chain_check(args, signed, work)
        print('signed %s; checking it as the launcher does' % launcher)
        env = wine_prefix(args)
        checked = True
        judge('the signed launcher', launcher_checks(args, env, [signed])[0], None)

        staging = tempfile.mkdtemp(prefix='.%s.release-' % os.path.basename(out), dir=parent)
        key_file = os.path.join(work, 'keys.txt')
        with open(key_file, 'w') as f:
            f.write(''.join(k + '\n' for k in keys))
        stampkey = os.path.join(args.build_dir, 'host', 'stampkey')
        run([stampkey, '--batch', '--name', NAME, signed, key_file, staging], 'stampkey')

        names = [NAME.format(key=k) for k in keys]
        copies = [os.path.join(staging, n) for n in names]
        print('stamped %s; checking each as the launcher does'
              % counted(len(copies), 'copy', 'copies'))
        for name, copy, key, result in zip(names, copies, keys,
                                           launcher_checks(args, env, copies)):
            judge(name, result, key)
            read = run([stampkey, '--read', copy], 'stampkey --read %s' % name).strip()
            if read != key:
                raise Refused('%s: stampkey --read gives %r instead of %s' % (name, read, key))

        with open(os.path.join(staging, 'manifest.csv'), 'w', newline='') as f:
            writer = csv.writer(f, lineterminator='\n')
            writer.writerow(['key', 'file', 'size', 'sha256'])
            for name, copy, key in zip(names, copies, keys):
                with open(copy, 'rb') as c:
                    data = c.read()
                writer.writerow([key, name, len(data), hashlib.sha256(data).hexdigest()])
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(staging, 0o777 & ~mask)
        os.rename(staging, out)  # replaces an empty folder, as checked above
        staging = None
        print('%s and manifest.csv in %s'
              % (counted(len(keys), 'signed, stamped and checked copy',
                         'signed, stamped and checked copies'), out))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if staging:
            shutil.rmtree(staging, ignore_errors=True)
        if checked:
            print(which_build('ran'))


def main():
    parser = argparse.ArgumentParser(prog='scripts/release', description=__doc__)
    parser.add_argument('--host', required=True, help='service host built into the launcher')
    parser.add_argument('--cert', help='code-signing certificate (PEM), optionally followed by '
                        'its chain')
    parser.add_argument('--key', help='its private key (PEM)')
    parser.add_argument('--pkcs12', help='certificate, chain and key in one PKCS#12 file '
                        '(instead of --cert and --key)')
    parser.add_argument('--password-env', metavar='VAR',
                        help='environment variable holding the PKCS#12 or key password')
    parser.add_argument('--keys', required=True, help='file of keys, one per line')
    parser.add_argument('--out', required=True, help='output folder (new or empty)')
    parser.add_argument('--build-dir', help='build folder (default: build-release in the '
                        'source tree); an existing build for the same host is reused')
    parser.add_argument('--trust-root', action='append', default=[], metavar='CA.crt',
                        help='a root CA to trust besides the system\'s (for test certificates)')
    parser.add_argument('--timestamp', metavar='URL', help='RFC 3161 timestamp server')
    args = parser.parse_args()
    if bool(args.pkcs12) == bool(args.cert or args.key) or (args.cert and not args.key) or (
            args.key and not args.cert):
        parser.error('give either --cert and --key, or --pkcs12')
    if not HOST.fullmatch(args.host):
        parser.error('--host takes a host name or address, optionally with :PORT')
    args.build_dir = os.path.abspath(args.build_dir or os.path.join(SOURCE, 'build-release'))
    try:
        release(args)
    except (Refused, OSError, subprocess.SubprocessError) as refusal:
        print('release refused, nothing written: %s' % refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
