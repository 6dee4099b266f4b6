// The ES module entry: the same functions as the CommonJS one, so both share one state.
import client from './index.js';

export const { record, checkPermissions, RecorderError, PROCESS_ENDED } = client;
export default client;
