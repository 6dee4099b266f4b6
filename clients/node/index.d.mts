export * from './index.js';
import client from './index.js';
export default client;
