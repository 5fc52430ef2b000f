"""Signs a copy of the launcher with Authenticode (SHA-256) for the disc kit and
checks the result before anything is written. The password reaches openssl
through the environment of the one child and osslsigncode through its standard
input: never a command line, a file or the output."""
import os
import struct
import subprocess
import tempfile
from datetime import datetime
from pathlib import Path

from pe_checks import check, load

DESCRIPTION = 'Orvane PlayList CD'
SYSTEM_CAS = Path('/etc/ssl/certs/ca-certificates.crt')
CHECKSUM_OFFSET = 64         # in the optional header
SECURITY_DIRECTORY = 4       # the certificate table's entry


class SigningError(Exception):
    pass


def read_password(password_file):
    """The first line of the file, or ORVANE_SIGN_PASSWORD."""
    if password_file is not None:
        try:
            # A byte-order mark that an editor put first is not the password's.
            text = Path(password_file).read_text(encoding='utf-8-sig')
        except (OSError, UnicodeDecodeError):
            raise SigningError('password file %s cannot be read' % password_file)
        return text.splitlines()[0] if text else ''
    password = os.environ.get('ORVANE_SIGN_PASSWORD')
    if password is None:
        raise SigningError('no password: give --sign-password-file or set ORVANE_SIGN_PASSWORD')
    return password


def openssl(args, password=None, data=None):
    env = dict(os.environ, ORVANE_KIT_PASSWORD=password or '')
    return subprocess.run(['openssl'] + args, input=data, capture_output=True, env=env)


def open_pkcs12(pfx, password, part):
    """One part of the PKCS#12 file as PEM text; older files need the legacy
    algorithms."""
    for legacy in ([], ['-legacy']):
        result = openssl(['pkcs12', '-in', str(pfx), '-passin', 'env:ORVANE_KIT_PASSWORD'] +
                         legacy + part, password)
        if result.returncode == 0:
            return result.stdout
    raise SigningError('PKCS#12 file %s cannot be opened with the password given' % pfx)


def check_certificate(pfx, password):
    """Refuses a file without a private key, or whose certificate is not for
    code signing, has expired or is not valid yet. Returns the file's
    certificates (PEM)."""
    if b'PRIVATE KEY' not in open_pkcs12(pfx, password, ['-nocerts', '-nodes']):
        raise SigningError('PKCS#12 file %s holds no private key' % pfx)
    leaf = open_pkcs12(pfx, password, ['-clcerts', '-nokeys'])
    if b'CERTIFICATE' not in leaf:
        raise SigningError('PKCS#12 file %s holds no certificate' % pfx)
    usage = openssl(['x509', '-noout', '-ext', 'extendedKeyUsage'], data=leaf).stdout
    if b'Code Signing' not in usage:
        raise SigningError('the certificate in %s is not valid for code signing (no '
                           'code-signing extended key usage)' % pfx)
    if openssl(['x509', '-noout', '-checkend', '0'], data=leaf).returncode != 0:
        end = openssl(['x509', '-noout', '-enddate'], data=leaf).stdout.decode().strip()
        raise SigningError('the certificate in %s has expired (%s)' % (pfx, end))
    start = openssl(['x509', '-noout', '-startdate'], data=leaf).stdout.decode().strip()
    begins = datetime.strptime(start.partition('=')[2], '%b %d %H:%M:%S %Y %Z')
    if begins > datetime.utcnow():
        raise SigningError('the certificate in %s is not valid before %s' %
                           (pfx, start.partition('=')[2]))
    return open_pkcs12(pfx, password, ['-nokeys'])


def sign(unsigned_path, signed_path, pfx, password, timestamp):
    args = ['osslsigncode', 'sign', '-pkcs12', str(pfx), '-readpass', '-', '-h', 'sha256',
            '-n', DESCRIPTION, '-in', str(unsigned_path), '-out', str(signed_path)]
    if timestamp:
        args += ['-ts', timestamp]
    result = subprocess.run(args, input=password.encode('utf-8'), capture_output=True)
    if result.returncode != 0 or not signed_path.exists():
        message = (result.stderr or result.stdout).decode(errors='replace').strip()
        raise SigningError('the signer failed: %s' % (message.splitlines() or ['no reason'])[-1])


def verify(signed_path, chain_path, pfx):
    result = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(chain_path),
                             '-in', str(signed_path)], capture_output=True)
    if result.returncode != 0:
        raise SigningError('the signed launcher does not verify against the certificate '
                           'chain in %s' % pfx)


def check_only_signature_added(unsigned, signed):
    """Apart from the checksum and the certificate-table entry, the signed file
    is the unsigned one with the certificate table appended."""
    def blank(data):
        pe_offset = struct.unpack_from('<I', data, 0x3C)[0]
        optional = pe_offset + 24
        plus = struct.unpack_from('<H', data, optional)[0] == 0x20B
        entry = optional + (112 if plus else 96) + 8 * SECURITY_DIRECTORY
        data = bytearray(data)
        data[optional + CHECKSUM_OFFSET:optional + CHECKSUM_OFFSET + 4] = bytes(4)
        data[entry:entry + 8] = bytes(8)
        return bytes(data), entry

    plain, _ = blank(unsigned)
    head, entry = blank(signed[:len(unsigned)])
    table, size = struct.unpack_from('<II', signed, entry)
    if head != plain or table < len(unsigned) or table + size != len(signed) or \
            any(signed[len(unsigned):table]):
        raise SigningError('signing changed more than the checksum and the certificate table')


def is_signed(data):
    """Whether the file carries a certificate table already."""
    pe = load(data)
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    return security.VirtualAddress != 0 and security.Size != 0


def sign_launcher(launcher, pfx, password_file, timestamp):
    """The signed copy's bytes, or SigningError with a one-line reason."""
    if is_signed(launcher):
        raise SigningError('the launcher is signed already: give the unsigned build')
    password = read_password(password_file)
    try:
        Path(pfx).read_bytes()
    except OSError as error:
        raise SigningError('PKCS#12 file %s cannot be read: %s' % (pfx, error.strerror or error))
    certificates = check_certificate(pfx, password)
    arch = 'win64' if load(launcher).OPTIONAL_HEADER.Magic == 0x20B else 'win32'
    with tempfile.TemporaryDirectory(prefix='orvane-sign.') as work:
        work = Path(work)
        unsigned_path, signed_path = work / 'unsigned.exe', work / 'signed.exe'
        chain = work / 'ca.pem'
        unsigned_path.write_bytes(launcher)
        chain.write_bytes(certificates + (SYSTEM_CAS.read_bytes() if SYSTEM_CAS.exists() else b''))
        sign(unsigned_path, signed_path, pfx, password, timestamp)
        verify(signed_path, chain, pfx)
        signed = signed_path.read_bytes()
    failed = [what for what, ok, _ in check(arch, signed, with_budget=False) if not ok]
    if failed:
        raise SigningError('the signed launcher fails the file check: %s' % ', '.join(failed))
    check_only_signature_added(launcher, signed)
    return signed
