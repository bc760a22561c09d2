// Types of vaultline-client. The JSDoc in src/ is the full documentation.

export interface Result { code: number; [member: string]: unknown }

export interface ClientOptions {
  host?: string;
  port?: number;
  id?: string;
  transport?: 'post' | 'jsonp';
  timeout?: number;
  ca?: string | Buffer | Array<string | Buffer>;
}

export interface CertListEntry { certid: number; name: string; pub: string }
export interface CertInfo {
  subject: string; sn: string; cn: string; c: string; e: string; o: string; ou: string; pub: string;
}
export interface CsrInfo {
  CN?: string; O?: string; OU?: string; C?: string; E?: string; hash?: number;
  keySize?: number; keyLabel?: string; bExportable?: number; keySerial?: number; notAfter?: number;
}
export type Bytes = string | Uint8Array | ArrayBuffer;

export class VaultlineClient {
  constructor(options?: ClientOptions);
  host: string; port: number; id: string; transport: 'post' | 'jsonp'; timeout: number;
  version(): Promise<Result & { data: string }>;
  invoke(data: object): Promise<Result | null>;
  send(envelopeText: string): Promise<Result | null>;
  openProvider(name: string, type: number): Promise<{ code: number; pcode: 0; pid: number }>;
  listCertificates(pid: number, query?: Record<string, string | number>):
    Promise<{ code: number; pcode: 5; pid: number; certnumber: number; certlist?: CertListEntry[] }>;
  selectCertificate(pid: number, type: number, certid?: number):
    Promise<{ code: number; pcode: 6; pid: number; certid?: number }>;
  getCertificateInfo(pid: number): Promise<{ code: number; ccode: 0; pid: number; certinfo: CertInfo }>;
  sign(pid: number, data: Bytes, flags: number): Promise<{ code: number; ccode: 1; pid: number; signed: string }>;
  verify(pid: number, signed: string, flags: number, msg?: Bytes):
    Promise<{ code: number; ccode: 2; pid: number; verify: 0 | 1 }>;
  encrypt(pid: number, plain: string, type?: number): Promise<{ code: number; ccode: 3; pid: number; cipher: string }>;
  decrypt(pid: number, cipher: string, type?: number): Promise<{ code: number; ccode: 4; pid: number; plain: string }>;
  generateRequest(pid: number, csrinfo: CsrInfo): Promise<{ code: number; pcode: 1; pid: number; csr: string }>;
  importCertificate(pid: number, data: string, format?: number): Promise<{ code: number; pcode: 2; pid: number }>;
  exportCertificate(pid: number, certid: number, pin?: string):
    Promise<{ code: number; pcode: 3; pid: number; certid: number; data: string }>;
  deleteCertificate(pid: number, certid: number): Promise<{ code: number; pcode: 4; pid: number; certid: number }>;
  setPin(pid: number, pin: string): Promise<{ code: number; ccode: 5; pid: number }>;
  setCodePage(codepage: number): Promise<{ code: number; pid: number }>;
}

export class VaultlineError extends Error {
  constructor(code: string, message: string, details?: { cause?: unknown; status?: number; body?: string });
  code: string; status?: number; body?: string;
}

export const SignFlags: Readonly<{
  SHA1: 0x00; MD2: 0x01; MD4: 0x02; MD5: 0x03; SHA1_RSA: 0x04; SM3: 0x05; SHA256: 0x06; HASH_MASK: 0x0f;
  ATTACHED: 0x00; DETACHED: 0x10; RAW: 0x20; FORM_MASK: 0xf0;
  SKF_SIGN_DATA: 0x2000; SKF_SIGN_HASH: 0x4000;
}>;
export const ProviderType: Readonly<{ SKF: 3; PKCS11: 4 }>;
export const ResultCode: Readonly<{
  OK: 0; CERT_INFO_OK: 1; ERROR: -1; BAD_COMMAND: -2; LIBRARY_UNUSABLE: 2; VERIFY_FAILED: 3;
  ENCRYPT_UNSUPPORTED: 4; DECRYPT_UNSUPPORTED: 5; PROVIDER_ALREADY_OPEN: 6;
}>;
export const InterfaceType: Readonly<{ RUN: 0; VERSION: 1 }>;
export function describeCode(code: number | { code: number; pcode?: number; ccode?: number },
  result?: { pcode?: number; ccode?: number }): string;
export function toBase64(value: Bytes, name?: string): string;

export const K: string;
export const M: string;
export const DEFAULT_HOST: string;
export const DEFAULT_PORT: number;
export const DEFAULT_TIMEOUT_MS: number;
export function buildEnvelope(envelope: { interfacetype?: number; id?: string; data?: object }): string;
export function parseReply(body: string, options?: { callback?: string }): Result | null;
export function jsonpPath(callback: string, str: string): string;
export function encryptCommand(text: string, options?: { rankey?: string }): Promise<string>;
export function randomRankey(): string;
export function aesEcbEncrypt(key: Uint8Array, data: Uint8Array): Promise<Uint8Array>;
export function aesEcbDecrypt(key: Uint8Array, data: Uint8Array): Promise<Uint8Array>;
export function postCommand(envelopeText: string, options?: object): Promise<Result | null>;
export function jsonpCommand(envelopeText: string, options?: object): Promise<Result | null>;
