"""Authenticode signing (SHA-256) for the disc kit and the conformance bundle,
checked before anything is written: with a PKCS#12 file, or with a key on a
PKCS#11 token (a hardware token, an HSM, a signing service's module), where
publicly trusted code-signing keys live since 2023. The password or PIN is
read as bytes, from a file or the environment, and reaches openssl through the
environment of the one child and osslsigncode through its standard input:
never a command line, a file, a message or the output."""
import os
import re
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
BYTE_ORDER_MARK = b'\xef\xbb\xbf'
PEM_CERTIFICATE = re.compile(rb'-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----\n?',
                             re.DOTALL)


OPENSSL_STACK = re.compile(r'^[0-9A-F]+:error:')


class SigningError(Exception):
    pass


def add_options(parser):
    """The signing options, the same for every command that signs."""
    group = parser.add_argument_group(
        'signing', 'With a PKCS#12 file (--sign) or a key on a PKCS#11 token (--sign-token); '
        'the password or PIN comes from a file or the environment, never the command line.')
    group.add_argument('--sign', metavar='PFX', help='PKCS#12 file holding the code-signing '
                       'certificate and its key; password from --sign-password-file or '
                       'ORVANE_SIGN_PASSWORD (empty for a file without one)')
    group.add_argument('--sign-password-file', metavar='FILE',
                       help='its first line is the PKCS#12 password')
    group.add_argument('--sign-token', metavar='URI', help='PKCS#11 URI of the key, such as '
                       '"pkcs11:token=T;object=O;type=private"; PIN from --sign-pin-file or '
                       'ORVANE_SIGN_PIN')
    group.add_argument('--sign-cert', metavar='FILE',
                       help='with --sign-token: the certificate and its chain (PEM, the '
                       'signing certificate first)')
    group.add_argument('--pkcs11-module', metavar='PATH',
                       help='with --sign-token: the token\'s PKCS#11 module (.so)')
    group.add_argument('--sign-pin-file', metavar='FILE', help='its first line is the PIN')
    group.add_argument('--timestamp', metavar='URL', help='a time-stamping authority that '
                       'countersigns, so the signature outlives the certificate')


def signer_from(args):
    """The Signer the options name, or None; SigningError for options that do
    not go together."""
    token_only = [name for name, value in (('--sign-cert', args.sign_cert),
                                           ('--pkcs11-module', args.pkcs11_module),
                                           ('--sign-pin-file', args.sign_pin_file))
                  if value is not None]
    if args.sign is not None and args.sign_token is not None:
        raise SigningError('--sign and --sign-token exclude each other')
    if args.sign_token is None and token_only:
        raise SigningError('%s act%s only with --sign-token' % (
            ' and '.join(token_only), '' if len(token_only) > 1 else 's'))
    if args.sign is None and args.sign_password_file is not None:
        raise SigningError('--sign-password-file acts only with --sign')
    if args.sign is None and args.sign_token is None:
        if args.timestamp is not None:
            raise SigningError('--timestamp acts only with --sign or --sign-token')
        return None
    if args.sign is not None:
        return PfxSigner(args.sign, args.sign_password_file, args.timestamp)
    if args.sign_cert is None or args.pkcs11_module is None:
        raise SigningError('--sign-token needs --sign-cert and --pkcs11-module')
    return TokenSigner(args.sign_token, args.sign_cert, args.pkcs11_module, args.sign_pin_file,
                       args.timestamp)


def read_secret(path, variable, what, option):
    """The first line of the file, or the environment variable, as bytes."""
    if path is not None:
        try:
            data = Path(path).read_bytes()
        except OSError as error:
            raise SigningError('%s file %s cannot be read: %s' % (what, path,
                                                                  error.strerror or error))
        # A byte-order mark that an editor put first is not the secret's; a
        # file saved as UTF-16 (Windows' Notepad "Unicode") is text too, and
        # sent as UTF-8: a token counts every wrong PIN against its few tries.
        if data.startswith((b'\xff\xfe', b'\xfe\xff')):
            try:
                data = data.decode('utf-16').encode('utf-8')
            except UnicodeError:
                raise SigningError('%s file %s begins as UTF-16 but is not' % (what, path))
        data = data[len(BYTE_ORDER_MARK):] if data.startswith(BYTE_ORDER_MARK) else data
        return data.split(b'\n')[0].rstrip(b'\r')
    secret = os.environb.get(variable.encode())
    if secret is None:
        raise SigningError('no %s: give %s or set %s' % (what, option, variable))
    return secret


# How long before its end a signing certificate is said to expire soon.
EXPIRY_NOTICE = 90 * 24 * 3600


def openssl(args, password=None, data=None):
    env = dict(os.environb)
    env[b'ORVANE_KIT_PASSWORD'] = password or b''
    return subprocess.run(['openssl'] + args, input=data, capture_output=True, env=env)


def certificate_fields(pem, *args):
    return openssl(['x509', '-noout'] + list(args), data=pem).stdout.decode(errors='replace')


def check_certificates(leaf, authorities, source):
    """Refuses a signing certificate that Windows would not take for code
    signing: no code-signing usage, a key usage without digital signatures,
    expired, not valid yet, or a CA above it that restricts extended key
    usage and leaves code signing out."""
    if 'Code Signing' not in certificate_fields(leaf, '-ext', 'extendedKeyUsage'):
        raise SigningError('the certificate in %s is not valid for code signing (no '
                           'code-signing extended key usage)' % source)
    usage = certificate_fields(leaf, '-ext', 'keyUsage')
    if usage and 'Digital Signature' not in usage:
        raise SigningError('the certificate in %s has a key usage without digital signatures, '
                           'which Windows requires of a code-signing certificate' % source)
    if openssl(['x509', '-noout', '-checkend', '0'], data=leaf).returncode != 0:
        end = certificate_fields(leaf, '-enddate').strip()
        raise SigningError('the certificate in %s has expired (%s)' % (source, end))
    start = certificate_fields(leaf, '-startdate').strip().partition('=')[2]
    if datetime.strptime(start, '%b %d %H:%M:%S %Y %Z') > datetime.utcnow():
        raise SigningError('the certificate in %s is not valid before %s' % (source, start))
    for authority in authorities:
        usage = certificate_fields(authority, '-ext', 'extendedKeyUsage')
        if usage and 'Code Signing' not in usage and 'Any Extended Key Usage' not in usage:
            subject = certificate_fields(authority, '-subject').strip()
            raise SigningError('the authority %s in %s restricts extended key usage and leaves '
                               'code signing out, so Windows rejects what it vouches for' %
                               (subject, source))


class PfxSigner:
    """A PKCS#12 file with the certificate, its chain and the private key."""

    def __init__(self, pfx, password_file, timestamp):
        self.pfx, self.password_file, self.timestamp = pfx, password_file, timestamp

    def open(self, part):
        """One part of the file as PEM; older files need the legacy algorithms."""
        for legacy in ([], ['-legacy']):
            result = openssl(['pkcs12', '-in', str(self.pfx), '-passin',
                              'env:ORVANE_KIT_PASSWORD'] + legacy + part, self.password)
            if result.returncode == 0:
                return result.stdout
        raise SigningError('PKCS#12 file %s cannot be opened with the password given' % self.pfx)

    def prepare(self):
        """Reads the password and checks the file; returns the certificates (PEM)."""
        try:
            head = Path(self.pfx).read_bytes()[:64]
        except OSError as error:
            raise SigningError('PKCS#12 file %s cannot be read: %s' %
                               (self.pfx, error.strerror or error))
        if head.lstrip().startswith(b'-----BEGIN'):
            raise SigningError('%s is a PEM file; --sign takes a PKCS#12 file (.pfx, .p12), '
                               'which openssl pkcs12 -export makes of a key and its certificates'
                               % self.pfx)
        self.password = read_secret(self.password_file, 'ORVANE_SIGN_PASSWORD', 'password',
                                    '--sign-password-file')
        if b'PRIVATE KEY' not in self.open(['-nocerts', '-nodes']):
            raise SigningError('PKCS#12 file %s holds no private key' % self.pfx)
        leaf = self.open(['-clcerts', '-nokeys'])
        if b'CERTIFICATE' not in leaf:
            raise SigningError('PKCS#12 file %s holds no certificate' % self.pfx)
        check_certificates(leaf, PEM_CERTIFICATE.findall(self.open(['-cacerts', '-nokeys'])),
                           self.pfx)
        self.leaf = leaf
        return self.open(['-nokeys'])

    def arguments(self):
        """osslsigncode's key arguments, and what it reads on its input."""
        if not self.password:  # a file without a password: nothing to read
            return ['-pkcs12', str(self.pfx)], b''
        # /dev/stdin, not '-': osslsigncode before 2.6 (Debian 12's) takes '-'
        # for a file of that name.
        return ['-pkcs12', str(self.pfx), '-readpass', '/dev/stdin'], self.password


class TokenSigner:
    """A key on a PKCS#11 token, its certificate chain in a PEM file."""

    def __init__(self, uri, cert, module, pin_file, timestamp):
        self.uri, self.cert, self.module = uri, cert, module
        self.pin_file, self.timestamp = pin_file, timestamp

    def prepare(self):
        self.pin = read_secret(self.pin_file, 'ORVANE_SIGN_PIN', 'PIN', '--sign-pin-file')
        if not self.uri.startswith('pkcs11:'):
            raise SigningError('--sign-token %s is not a PKCS#11 URI (pkcs11:...)' % self.uri)
        if not Path(self.module).is_file():
            raise SigningError('PKCS#11 module %s is not a file' % self.module)
        try:
            chain = Path(self.cert).read_bytes()
        except OSError as error:
            raise SigningError('certificate file %s cannot be read: %s' %
                               (self.cert, error.strerror or error))
        certificates = PEM_CERTIFICATE.findall(chain)
        if not certificates:
            raise SigningError('certificate file %s holds no PEM certificate' % self.cert)
        check_certificates(certificates[0], certificates[1:], self.cert)
        self.leaf = certificates[0]
        return b''.join(certificates)

    def arguments(self):
        args = ['-pkcs11module', str(self.module), '-certs', str(self.cert), '-key', self.uri]
        return (args + ['-readpass', '/dev/stdin'], self.pin) if self.pin else (args, b'')


def signer_failure(output, secrets):
    """osslsigncode's reason in one line, with no secret in it."""
    text = output.decode(errors='replace')
    for known, why in (('PIN incorrect', 'the token refused the PIN'),
                       ('private key was not found', 'the token holds no such key'),
                       ('Failed to load PKCS#11 module', 'the PKCS#11 module cannot be loaded')):
        if known in text:
            return why
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    # The first line of its own, not the closing "Failed", its progress or
    # OpenSSL's error stack (kept only where nothing else is said).
    meaningful = [line for line in lines if line not in ('Failed', 'Succeeded') and
                  not OPENSSL_STACK.match(line) and
                  not line.startswith(('Engine "', 'Connecting to '))]
    reason = (meaningful or lines or ['no reason'])[0]
    if any(secret and secret.decode(errors='replace') in reason for secret in secrets):
        return 'no reason it could show'
    return reason


def run_signer(signer, unsigned_path, signed_path):
    args, stdin = signer.arguments()
    args = ['osslsigncode', 'sign'] + args + ['-h', 'sha256', '-n', DESCRIPTION,
                                             '-in', str(unsigned_path), '-out', str(signed_path)]
    if signer.timestamp:
        args += ['-ts', signer.timestamp]
    # The signing time is part of the signature: for the same bytes twice,
    # it is the one the build asks for.
    epoch = os.environ.get('SOURCE_DATE_EPOCH', '')
    if epoch.isdigit():
        args += ['-time', epoch]
    result = subprocess.run(args, input=stdin, capture_output=True)
    if result.returncode != 0 or not signed_path.exists():
        raise SigningError('the signer failed: %s' % signer_failure(
            result.stderr + result.stdout, [stdin]))


def verify(signed_path, chain_path, source):
    result = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(chain_path),
                             '-in', str(signed_path)], capture_output=True)
    if result.returncode != 0:
        raise SigningError('the signed file does not verify against the certificate chain in '
                           '%s' % source)


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


def certificate_table(pe):
    """(offset, size) of a parsed file's certificate table; (0, 0) where its
    header has no entry for one (a damaged or a minimal file)."""
    entries = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if len(entries) <= SECURITY_DIRECTORY:
        return 0, 0
    return entries[SECURITY_DIRECTORY].VirtualAddress, entries[SECURITY_DIRECTORY].Size


def is_signed(data):
    """Whether the file carries a certificate table."""
    offset, size = certificate_table(load(data))
    return offset != 0 and size != 0


def signature_fault(path):
    """Why a file's Authenticode signature does not hold, or None when it
    verifies: the digest over the file's own bytes, and the signature against
    the certificates it carries (its chain as far as given). A file without a
    certificate table has no fault here (is_signed tells)."""
    with tempfile.TemporaryDirectory(prefix='orvane-verify.') as work:
        signature, chain = Path(work) / 'signature.pem', Path(work) / 'chain.pem'
        extracted = subprocess.run(['osslsigncode', 'extract-signature', '-pem', '-in', str(path),
                                    '-out', str(signature)], capture_output=True)
        certificates = subprocess.run(['openssl', 'pkcs7', '-print_certs', '-in', str(signature)],
                                      capture_output=True) if extracted.returncode == 0 else None
        if certificates is None or not PEM_CERTIFICATE.search(certificates.stdout):
            return 'its certificate table holds no signature that can be read'
        chain.write_bytes(b''.join(PEM_CERTIFICATE.findall(certificates.stdout)))
        result = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(chain), '-in',
                                 str(path)], capture_output=True)
    said = result.stdout.decode(errors='replace')
    if 'MISMATCH' in said:
        return 'its bytes were changed after it was signed (the digest does not match)'
    if 'Signature verification: ok' not in said:
        return 'its signature does not verify against the certificates it carries'
    return None


def trusted_root(path):
    """Whether the signature's chain ends in a root this system trusts (its
    authorities stand in for Windows' own, which they largely share)."""
    result = subprocess.run(['osslsigncode', 'verify', '-in', str(path)], capture_output=True)
    return 'Signature verification: ok' in result.stdout.decode(errors='replace')


def signing_advice(signer):
    """Warnings about a signature that holds today but not for the years a
    pressed disc is used."""
    advice = []
    if not signer.timestamp:
        advice.append('the launcher is signed without --timestamp: once the certificate expires, '
                      'Windows takes the signature for invalid and names no publisher; give a '
                      'timestamp server\'s URL')
    if openssl(['x509', '-noout', '-checkend', str(EXPIRY_NOTICE)],
               data=signer.leaf).returncode != 0:
        end = certificate_fields(signer.leaf, '-enddate').strip().partition('=')[2]
        advice.append('the signing certificate in %s expires within 90 days (%s)%s' % (
            source_of(signer), end, '' if signer.timestamp else ': sign with --timestamp'))
    return advice


def source_of(signer):
    return signer.pfx if isinstance(signer, PfxSigner) else signer.cert


def sign_file(data, signer, certificates):
    """The signed copy's bytes of any Windows program, verified against the
    certificates (PEM) and the system's authorities."""
    with tempfile.TemporaryDirectory(prefix='orvane-sign.') as work:
        work = Path(work)
        unsigned_path, signed_path = work / 'unsigned.exe', work / 'signed.exe'
        chain = work / 'ca.pem'
        unsigned_path.write_bytes(data)
        chain.write_bytes(certificates + (SYSTEM_CAS.read_bytes() if SYSTEM_CAS.exists() else b''))
        run_signer(signer, unsigned_path, signed_path)
        verify(signed_path, chain, source_of(signer))
        signed = signed_path.read_bytes()
    check_only_signature_added(data, signed)
    return signed


def sign_launcher(launcher, signer):
    """The signed launcher's bytes, or SigningError with a one-line reason."""
    if is_signed(launcher):
        raise SigningError('the launcher is signed already: give the unsigned build')
    signed = sign_file(launcher, signer, signer.prepare())
    arch = 'win64' if load(launcher).OPTIONAL_HEADER.Magic == 0x20B else 'win32'
    failed = [what for what, ok, _ in check(arch, signed, with_budget=False) if not ok]
    if failed:
        raise SigningError('the signed launcher fails the file check: %s' % ', '.join(failed))
    return signed
