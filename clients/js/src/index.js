export { K, M, encryptCommand, randomRankey, aesEcbEncrypt, aesEcbDecrypt } from './cipher.js';
export {
  buildEnvelope, parseReply, jsonpPath, InterfaceType, ResultCode,
} from './envelope.js';
export {
  postCommand, jsonpCommand, DEFAULT_HOST, DEFAULT_PORT, DEFAULT_TIMEOUT_MS,
} from './transport.js';
export { VaultlineClient } from './client.js';
export { VaultlineError } from './errors.js';
export { SignFlags, ProviderType, describeCode } from './codes.js';
export { toBase64 } from './base64.js';
